// The quick view of a deleted 10 MB JPEG (tools/make-preview-fixture.sh
// --big): reading the file through the volume and decoding it, as the
// dialog does (PrepareQuickView with the window's decoder), against
// `quarlix cat` of the same file to /dev/null in the same run (a whole
// process: open the image, index it, read the file). Target: preview/cat
// <= 3, so that decoding, not reading, is the cost. Also the read alone in
// this process, and the bytes the preview read from the image per byte of
// the file (on a USB disk they are the time). Best of five.
//
//   preview_bench [WORKDIR]   (the fixture is kept there and reused)
#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "bench/ProcStatus.h"
#include "bench/QuarlixProcess.h"
#include "engine/fat/FatVolume.h"
#include "engine/recovery/Preview.h"
#include "ui/PreviewText.h"

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = AnnounceBenchSmoke();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const std::string dir = argc > 1 ? argv[1] : smoke ? "/tmp/quarlix-preview-bench-smoke" : "/tmp/quarlix-preview-bench";
    std::filesystem::create_directories(dir + "/settings/config");
    std::filesystem::create_directories(dir + "/settings/cache");
    const std::string image = dir + (smoke ? "/preview.img" : "/preview-big.img");
    if (!std::filesystem::exists(image)) {
        const std::string cmd = std::string(QUARLIX_SOURCE_DIR) + "/tools/make-preview-fixture.sh " + image +
                                (smoke ? "" : " --big") + " >/dev/null";
        std::printf("+ %s\n", cmd.c_str());
        if (std::system(cmd.c_str()) != 0) {
            std::printf("fixture failed\n");
            std::filesystem::remove(image);
            return 1;
        }
    }
    // The largest deleted JPEG of /Photos.
    CFatVolume volume;
    IndexProgress progress;
    std::unique_ptr<IEnumDeletedFiles> e;
    if (!volume.Initialize(image) || !volume.BuildIndex(&progress) ||
        !volume.EnumDeletedFilesByPath(u"\\Photos", e) || !e) {
        std::printf("cannot index %s\n", image.c_str());
        return 1;
    }
    preview::PreviewItem photo;
    FileItemInfo info;
    while (e->Next(info, false))
        if (preview::ExtensionOf(info.name) == ".JPG" && info.size > photo.size && info.dataStatus == 0) {
            photo.name = info.name;
            photo.size = info.size;
            photo.id = info.id;
        }
    if (photo.id == 0) {
        std::printf("missing sample: no deleted JPEG in /Photos\n");
        return 1;
    }
    const std::vector<std::string> cat {"--no-cache", "--progress", "never", "cat", image, std::to_string(photo.id)};
    const int repeats = smoke ? 1 : 5;
    double bestPreview = 1e9, bestRead = 1e9, bestCat = 1e9;
    uint64_t previewBytes = 0, readBytes = 0;
    int width = 0, height = 0;
    for (int i = 0; i < repeats; ++i) {
        const ProcessRun run = RunQuarlix(cat, dir + "/settings");
        if (!run.ok) {
            std::printf("quarlix cat failed\n");
            return 1;
        }
        bestCat = std::min(bestCat, run.seconds);

        const uint64_t before = SelfBytesRead();
        auto t0 = Clock::now();
        KeptImageDecoder decoder;
        const preview::QuickViewContent shown = preview::PrepareQuickView(volume, photo, false, decoder.Decoder());
        const double previewSeconds = Since(t0);
        previewBytes = SelfBytesRead() - before;
        if (shown.shown != preview::ShownAs::Image || decoder.image.isNull()) {
            std::printf("the preview failed: the photo did not decode\n");
            return 1;
        }
        width = decoder.image.width();
        height = decoder.image.height();
        bestPreview = std::min(bestPreview, previewSeconds);

        const uint64_t readBefore = SelfBytesRead();
        t0 = Clock::now();
        std::unique_ptr<IGenericFile> file;
        std::vector<uint8_t> bytes;
        if (!preview::OpenIndexItem(volume, photo.id, u"", file) ||
            !preview::ReadWhole(*file, preview::kImageLimit, bytes) || bytes.size() != photo.size) {
            std::printf("the read failed\n");
            return 1;
        }
        bestRead = std::min(bestRead, Since(t0));
        readBytes = SelfBytesRead() - readBefore;
    }
    std::printf("\nphoto: %llu bytes, %d x %d pixels\n", static_cast<unsigned long long>(photo.size), width, height);
    std::printf("preview (read + decode): %.3f s; of it the read alone %.3f s (decode %.3f s)\n", bestPreview, bestRead,
                std::max(bestPreview - bestRead, 0.0));
    std::printf("quarlix cat > /dev/null: %.3f s (the whole process: open, index, read)\n", bestCat);
    std::printf("bytes read per byte of the file: %.2f by the preview, %.2f by the read alone\n",
                static_cast<double>(previewBytes) / static_cast<double>(photo.size),
                static_cast<double>(readBytes) / static_cast<double>(photo.size));
    std::printf("ratio preview/quarlix cat = %.2f (target <= 3)\n", bestPreview / std::max(bestCat, 1e-9));
    std::printf("ratio preview/read alone  = %.2f (the decoder's share)\n", bestPreview / std::max(bestRead, 1e-9));
    return 0;
}
