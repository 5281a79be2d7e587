// Surface-scan throughput and yield against PhotoRec, in the same run.
// The samples' type is their extension (sample-thumb.jpg a camera-style JPEG).
//
// 1. A FAT32 image (default 1 GiB, 4 KiB clusters) made by mkfs.fat and
//    filled by mcopy with random filler files and the samples of tests/data
//    (images, audio, video) and tests/data/documents (Office documents, PDF,
//    ZIP), copied over and over between them; then every sample and most
//    fillers are deleted (mdel), so that the free clusters hold random data
//    with the samples sprinkled in. mshowfat tells where each sample lies.
// 2. A raw image without a file system (random filler, the samples at
//    4,096-byte boundaries), scanned through our raw volume.
// Each image is scanned in two passes, each with only its family's types
// enabled, by us and by PhotoRec with the matching file families (free space
// only on the FAT image): images/audio/video (8 providers / 8 PhotoRec
// families), then documents (4 providers: ZIP containers, compound
// documents, PDF, mail stores / PhotoRec's zip, doc, pdf, pst). Both tools
// are timed on the page-cached image. For each pass and tool: MB/s of free
// space, clusters examined per second (ours), the throughput ratio, and per
// type how many samples were found whole (right start, exact bytes) with the
// reason for every miss.
//
//   bench_surfacescan [--size-mb N] [--rounds N] [--dir PATH] [--keep]
//                     [--pass media|documents|every|all]
// The pass "every" enables every provider and every PhotoRec family. Each
// FAT32 pass also prints its rate as a share of dd's read rate of the same
// page-cached image.
// PhotoRec (package testdisk) is skipped when it is not installed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/BenchSmoke.h"
#include "engine/fat/FatVolume.h"
#include "engine/formats/ProviderRegistry.h"
#include "engine/surfacescan/ClusterWalk.h"
#include "engine/surfacescan/RawVolume.h"

namespace fs = std::filesystem;

namespace {

// Paths relative to tests/data; a sample's type is its extension.
const char* kSamples[] = {"sample.jpg",
                          "sample.png",
                          "sample.bmp",
                          "sample.gif",
                          "sample.psd",
                          "sample.tif",
                          "sample-pages-mm.tif",
                          "sample.mp3",
                          "sample-mpeg2.mp3",
                          "sample.mov",
                          "documents/report.docx",
                          "documents/budget.xlsx",
                          "documents/slides.pptx",
                          "documents/archive.zip",
                          "documents/archive-streamed.zip",
                          "documents/report.doc",
                          "documents/budget.xls",
                          "documents/slides.ppt",
                          "documents/report.pdf",
                          // What cameras and phones write, and the other common finds.
                          "sample-thumb.jpg",
                          "sample.mp4",
                          "sample-faststart.mp4",
                          "sample.m4a",
                          "sample.m4v",
                          "sample.3gp",
                          "sample.heic",
                          "sample.avif",
                          "sample.webp",
                          "sample.wav",
                          "sample.avi",
                          "sample.flac",
                          "sample.ogg",
                          "sample.mkv",
                          "sample.webm",
                          "sample.sqlite",
                          "sample.7z",
                          "sample.odt",
                          "sample.ods"};

// One comparison: the type keys our scan enables (and tallies) and the
// PhotoRec file families enabled for the same files.
struct Pass {
    const char* name;
    std::vector<std::string> types;
    std::vector<std::string> photoRecFamilies;
};

const Pass kPasses[] = {
    {"media", {"jpg", "png", "bmp", "gif", "psd", "tif", "mp3", "mov"},
     {"jpg", "png", "bmp", "gif", "psd", "tif", "mp3", "mov"}},
    // PhotoRec's doc family covers every compound file (doc, xls, ppt), zip
    // every ZIP container (docx, xlsx, pptx included), pst the mail stores.
    {"documents", {"zip", "docx", "xlsx", "pptx", "doc", "xls", "ppt", "pdf", "pst", "ost"},
     {"zip", "doc", "pdf", "pst"}},
};

bool InPass(const Pass& pass, const std::string& type) {
    return std::find(pass.types.begin(), pass.types.end(), type) != pass.types.end();
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Q(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

bool Run(const std::string& cmd) {
    if (std::system(cmd.c_str()) == 0) return true;
    std::fprintf(stderr, "command failed: %s\n", cmd.c_str());
    return false;
}

std::string Capture(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string TypeOf(const std::string& file) { return file.substr(file.rfind('.') + 1); }

void WriteRandom(const std::string& path, uint64_t n, std::mt19937_64& rng) {
    std::ofstream out(path, std::ios::binary);
    std::vector<uint64_t> block(1 << 16);
    while (n > 0) {
        for (auto& w : block) w = rng();
        const uint64_t take = std::min<uint64_t>(n, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(take));
        n -= take;
    }
}

// One placed sample: where it starts (cluster / byte offset) and what it is.
struct Placed {
    int sample;
    uint64_t cluster;
    uint64_t offset;  // byte offset in the image
};

struct Tally {
    std::map<std::string, int> placed, whole, other;
    std::vector<std::string> misses;
};

void PrintTallies(const std::string& title, const Pass& pass, const Tally& ours, const Tally* theirs) {
    std::printf("\n%s: samples found whole per type (other = files reported elsewhere)\n", title.c_str());
    std::printf("  %-5s %7s %12s %12s %12s %12s\n", "type", "placed", "ours whole", "ours other", "photorec whole",
                "photorec other");
    std::set<std::string> rows(pass.types.begin(), pass.types.end());
    for (const auto& [type, n] : ours.other) rows.insert(type);
    if (theirs)
        for (const auto& [type, n] : theirs->other) rows.insert(type);
    for (const std::string& type : rows) {
        const char* t = type.c_str();
        auto get = [&](const std::map<std::string, int>& m) {
            auto it = m.find(t);
            return it == m.end() ? 0 : it->second;
        };
        if (theirs)
            std::printf("  %-5s %7d %12d %12d %14d %14d\n", t, get(ours.placed), get(ours.whole), get(ours.other),
                        get(theirs->whole), get(theirs->other));
        else
            std::printf("  %-5s %7d %12d %12d %14s %14s\n", t, get(ours.placed), get(ours.whole), get(ours.other), "-",
                        "-");
    }
    auto printMisses = [](const char* who, const Tally& t) {
        if (t.misses.empty()) return;
        std::map<std::string, int> counts;
        for (const auto& m : t.misses) ++counts[m];
        std::printf("  %s missed:", who);
        for (const auto& [m, n] : counts) std::printf(" %s x%d;", m.c_str(), n);
        std::printf("\n");
    };
    printMisses("ours", ours);
    if (theirs) printMisses("photorec", *theirs);
}

// Our hits against the placed samples of the pass; a hit anywhere else
// (another family's sample included) counts as other.
Tally TallyOurs(const Pass& pass, const std::vector<Placed>& placed, const std::vector<std::vector<uint8_t>>& samples,
                const std::map<uint64_t, std::pair<std::string, uint64_t>>& hits) {
    Tally t;
    std::set<uint64_t> starts;
    for (const Placed& p : placed) {
        const std::string type = TypeOf(kSamples[p.sample]);
        if (!InPass(pass, type)) continue;
        ++t.placed[type];
        starts.insert(p.cluster);
        auto it = hits.find(p.cluster);
        if (it != hits.end() && it->second.first == type && it->second.second == samples[p.sample].size())
            ++t.whole[type];
        else
            t.misses.push_back(std::string(kSamples[p.sample]) +
                               (it == hits.end() ? " (not found)"
                                : it->second.first != type ? " (reported as " + it->second.first + ")"
                                                           : " (wrong size)"));
    }
    for (const auto& [cluster, hit] : hits)
        if (!starts.count(cluster)) ++t.other[hit.first];
    return t;
}

// PhotoRec's output folders DIR.1, DIR.2, ...: each file f<sector>[_x].<ext>,
// the sector counted in 512-byte units from the start of the image.
Tally TallyPhotoRec(const Pass& pass, const std::string& outBase, const std::vector<Placed>& placed,
                    const std::vector<std::vector<uint8_t>>& samples) {
    Tally t;
    std::map<uint64_t, const Placed*> byOffset;
    for (const Placed& p : placed) {
        if (!InPass(pass, TypeOf(kSamples[p.sample]))) continue;
        byOffset[p.offset] = &p;
        ++t.placed[TypeOf(kSamples[p.sample])];
    }
    std::set<const Placed*> whole;
    std::map<const Placed*, std::string> got;

    for (int i = 1;; ++i) {
        fs::path dir = outBase + "." + std::to_string(i);
        if (!fs::is_directory(dir)) break;
        for (const auto& e : fs::directory_iterator(dir)) {
            // f<digits>[_anything].<ext>
            const std::string fn = e.path().filename().string();
            size_t digits = 1;
            while (digits < fn.size() && std::isdigit(static_cast<unsigned char>(fn[digits]))) ++digits;
            const size_t dot = fn.rfind('.');
            if (fn.empty() || fn[0] != 'f' || digits == 1 || dot == std::string::npos || dot < digits) continue;
            const uint64_t offset = std::stoull(fn.substr(1, digits - 1)) * 512;
            const std::string ext = fn.substr(dot + 1);
            auto it = byOffset.find(offset);
            if (it == byOffset.end()) {
                ++t.other[ext];
                continue;
            }
            const auto& want = samples[it->second->sample];
            const uint64_t size = fs::file_size(e.path());
            if (ext == TypeOf(kSamples[it->second->sample]) && size == want.size() && ReadAll(e.path().string()) == want)
                whole.insert(it->second);
            else if (ext != TypeOf(kSamples[it->second->sample]))
                got[it->second] = "reported as " + ext;
            else if (size > want.size())
                got[it->second] = "carved with trailing bytes";
            else if (size < want.size())
                got[it->second] = "cut short";
            else
                got[it->second] = "bytes differ";
        }
    }
    for (const Placed& p : placed) {
        if (!InPass(pass, TypeOf(kSamples[p.sample]))) continue;
        if (whole.count(&p)) {
            ++t.whole[TypeOf(kSamples[p.sample])];
            continue;
        }
        auto g = got.find(&p);
        t.misses.push_back(std::string(kSamples[p.sample]) + (g == got.end() ? " (not found)" : " (" + g->second + ")"));
    }
    return t;
}

std::string PhotoRecTypes(const Pass& pass) {
    if (pass.photoRecFamilies.empty()) return "fileopt,everything,enable";  // the pass of every type
    std::string s = "fileopt,everything,disable";
    for (const std::string& t : pass.photoRecFamilies) s += "," + t + ",enable";
    return s;
}

ScanTypeSet OurTypes(const ProviderRegistry& registry, const Pass& pass) {
    ScanTypeSet types;
    types.registry = &registry;
    for (const std::string& t : pass.types) EnableType(types, std::u16string(t.begin(), t.end()));
    return types;
}

struct Recorder : ISurfaceScanCallback {
    std::map<uint64_t, std::pair<std::string, uint64_t>> hits;
    WalkResult OnCountProgress(uint64_t, uint64_t) override { return WalkResult::Continue; }
    WalkResult OnScanProgress(uint64_t) override { return WalkResult::Continue; }
    WalkResult OnFileFound(const std::u16string& typeKey, const std::u16string&, const std::u16string&, uint64_t cluster,
                     uint64_t size) override {
        hits[cluster] = {std::string(typeKey.begin(), typeKey.end()), size};
        return WalkResult::Continue;
    }
};

}  // namespace

int main(int argc, char** argv) {
    // A smoke run: a 40 MiB image of 512-byte clusters (FAT32 takes 65,525
    // clusters: 33 MiB at least), one round of the samples, one timed run.
    const bool smoke = AnnounceBenchSmoke();
    const int sectorsPerCluster = smoke ? 1 : 8, timedRuns = smoke ? 1 : 3;
    const uint64_t leastMb = smoke ? 33 : 260;
    uint64_t sizeMb = smoke ? 40 : 1024;
    int rounds = smoke ? 1 : 30;
    std::string base;
    std::string passName = "all";
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--size-mb" && i + 1 < argc) sizeMb = std::stoull(argv[++i]);
        else if (a == "--rounds" && i + 1 < argc) rounds = std::stoi(argv[++i]);
        else if (a == "--dir" && i + 1 < argc) base = argv[++i];
        else if (a == "--pass" && i + 1 < argc) passName = argv[++i];
        else if (a == "--keep") keep = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--size-mb N] [--rounds N] [--dir PATH] [--keep] [--pass media|documents|every|all]\n",
                         argv[0]);
            return 2;
        }
    }
    ProviderRegistry registry;
    RegisterProviders(registry);
    // Every provider at once against every PhotoRec family: what a user's
    // scan of everything costs.
    Pass every {"every", {}, {}};
    for (const TypeEntry& t : registry.types) every.types.emplace_back(t.typeKey.begin(), t.typeKey.end());
    std::vector<const Pass*> passes;
    for (const Pass& p : kPasses)
        if (passName == "all" || passName == p.name) passes.push_back(&p);
    if (passName == "all" || passName == every.name) passes.push_back(&every);
    // FAT32 needs 65,525 clusters of 4 KiB: 260 MiB at least.
    if (passes.empty() || sizeMb < leastMb || rounds < 1) {
        std::fprintf(stderr, "unknown pass %s (media, documents, every or all), or --size-mb below 260, or --rounds below 1\n",
                     passName.c_str());
        return 2;
    }
    const std::string dataDir = std::string(QUARLIX_SOURCE_DIR) + "/tests/data";
    const fs::path work = base.empty() ? fs::temp_directory_path() / "quarlix-bench-surfacescan" : fs::path(base);
    fs::remove_all(work);
    fs::create_directories(work / "files");
    const bool havePhotoRec = std::system("command -v photorec >/dev/null 2>&1") == 0;
    std::vector<std::vector<uint8_t>> samples;
    for (const char* s : kSamples) {
        samples.push_back(ReadAll(dataDir + "/" + s));
        if (samples.back().empty()) {
            std::fprintf(stderr, "missing sample %s/%s\n", dataDir.c_str(), s);
            return 1;
        }
    }

    // ---- 1. the FAT32 image -------------------------------------------------
    const std::string img = (work / "fat32.img").string();
    std::printf("building a %llu MiB FAT32 image in %s ...\n", static_cast<unsigned long long>(sizeMb), work.c_str());
    if (!Run("mkfs.fat -C -F 32 -s " + std::to_string(sectorsPerCluster) + " -S 512 " + Q(img) + " " + std::to_string(sizeMb * 1024) + " >/dev/null"))
        return 1;
    std::mt19937_64 rng(12345);
    const int nSamples = rounds * static_cast<int>(std::size(kSamples));
    const uint64_t room = sizeMb * 1024 * 1024 * 97 / 100;  // leave the FATs and some slack
    uint64_t sampleBytes = 0;
    for (const auto& s : samples) sampleBytes += (s.size() + 4095) / 4096 * 4096 * rounds;
    if (sampleBytes + 4096ull * static_cast<uint64_t>(nSamples + 1) >= room) {
        std::fprintf(stderr, "%llu MiB cannot hold %d rounds of the samples\n", static_cast<unsigned long long>(sizeMb),
                     rounds);
        return 2;
    }
    const uint64_t fillerEach = (room - sampleBytes) / static_cast<uint64_t>(nSamples + 1);
    std::vector<std::string> order;        // mcopy order
    std::vector<std::string> deleted;      // mdel list
    std::vector<std::pair<std::string, int>> sampleFiles;
    for (int i = 0; i <= nSamples; ++i) {
        const std::string filler = "fill" + std::to_string(i) + ".bin";
        WriteRandom((work / "files" / filler).string(), fillerEach / 2 + rng() % fillerEach, rng);
        order.push_back(filler);
        if (i % 10 != 9) deleted.push_back(filler);  // one filler in ten stays in use
        if (i == nSamples) break;
        const int s = i % static_cast<int>(std::size(kSamples));
        const std::string name = "s" + std::to_string(i) + "." + TypeOf(kSamples[s]);
        fs::copy_file(dataDir + "/" + kSamples[s], work / "files" / name);
        order.push_back(name);
        deleted.push_back(name);
        sampleFiles.push_back({name, s});
    }
    // Fillers are sized to fit; drop the tail that would not.
    std::string cmd = "cd " + Q((work / "files").string()) + " && MTOOLS_SKIP_CHECK=1 mcopy -i " + Q(img);
    for (const auto& f : order) cmd += " " + f;
    cmd += " ::/ 2>&1 | grep -v 'Disk full' >&2; true";
    Run(cmd);
    // Where each sample lies, before deleting: "::/s0.jpg <170-171>".
    std::vector<Placed> placed;
    {
        std::string showCmd = "MTOOLS_SKIP_CHECK=1 mshowfat -i " + Q(img);
        for (const auto& [name, s] : sampleFiles) showCmd += " ::/" + name;
        const std::string out = Capture(showCmd + " 2>/dev/null");
        CFatVolume probe;
        if (!probe.Initialize(img)) return 1;
        for (size_t at = out.find("::/s"); at != std::string::npos; at = out.find("::/s", at + 1)) {
            int i = 0;
            unsigned long long cluster = 0;
            if (std::sscanf(out.c_str() + at, "::/s%d.%*s <%llu-", &i, &cluster) != 2) continue;
            if (i < 0 || static_cast<size_t>(i) >= sampleFiles.size()) continue;
            placed.push_back({sampleFiles[static_cast<size_t>(i)].second, cluster,
                              uint64_t(probe.DataFirstSector()) * probe.SectorSize() + (cluster - 2) * probe.ClusterSize()});
        }
    }
    {
        std::string delCmd = "MTOOLS_SKIP_CHECK=1 mdel -i " + Q(img);
        for (const auto& f : deleted) delCmd += " ::/" + f;
        Run(delCmd + " 2>/dev/null; true");
    }
    fs::remove_all(work / "files");
    Run("cat " + Q(img) + " > /dev/null");  // page cache warm for both tools

    // The page-cached image read straight through, best of three: the rate
    // no scan of it can pass.
    double ddSeconds = 1e9;
    for (int run = 0; run < timedRuns; ++run) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!Run("dd if=" + Q(img) + " of=/dev/null bs=1M 2>/dev/null")) return 1;
        ddSeconds = std::min(ddSeconds, Seconds(std::chrono::steady_clock::now() - t0));
    }
    const double ddRate = static_cast<double>(fs::file_size(img)) / 1e6 / ddSeconds;
    std::printf("dd of the image: %.3f s, %.1f MB/s\n", ddSeconds, ddRate);

    CFatVolume fat;
    if (!fat.Initialize(img)) {
        std::fprintf(stderr, "cannot open the image: %s\n", fat.InitError().c_str());
        return 1;
    }
    uint64_t freeClusters = 0;
    CountScanClusters(fat, ScanTypeSet {}, freeClusters, nullptr, nullptr);
    const double freeMb = static_cast<double>(freeClusters) * fat.ClusterSize() / 1e6;
    std::printf("image: %llu clusters of %u bytes, %llu free (%.1f MB); %zu samples placed\n",
                static_cast<unsigned long long>(fat.ClusterCount()), fat.ClusterSize(),
                static_cast<unsigned long long>(freeClusters), freeMb, placed.size());

    for (const Pass* pass : passes) {
        // Best of three runs (the first also warms the page cache for the
        // image's metadata); PhotoRec runs once after them on the same warm
        // cache.
        const ScanTypeSet types = OurTypes(registry, *pass);
        Recorder rec;
        ScanWalkStats stats;
        double ours = 1e9;
        for (int run = 0; run < timedRuns; ++run) {
            rec.hits.clear();
            stats = {};
            const auto t0 = std::chrono::steady_clock::now();
            ScanClusters(fat, types, &rec, nullptr, &stats);
            ours = std::min(ours, Seconds(std::chrono::steady_clock::now() - t0));
        }
        const Tally oursTally = TallyOurs(*pass, placed, samples, rec.hits);

        double theirs = 0;
        Tally prTally;
        if (havePhotoRec) {
            const std::string out = (work / ("photorec-" + std::string(pass->name))).string();
            const auto t0 = std::chrono::steady_clock::now();
            Run("cd " + Q(work.string()) + " && photorec /log /d " + Q(out) + " /cmd " + Q(img) + " " +
                PhotoRecTypes(*pass) + ",freespace,search >/dev/null 2>&1");
            theirs = Seconds(std::chrono::steady_clock::now() - t0);
            prTally = TallyPhotoRec(*pass, out, placed, samples);
        }
        std::printf("\nFAT32 free-space scan, %s: %u providers / %s PhotoRec file families\n", pass->name,
                    types.detectorCount,
                    pass->photoRecFamilies.empty() ? "all" : std::to_string(pass->photoRecFamilies.size()).c_str());
        std::printf("  ours:     %.3f s  %.1f MB/s of free space, %.0f clusters examined/s (%llu examined, %llu hits)\n",
                    ours, freeMb / ours, static_cast<double>(stats.examined) / ours,
                    static_cast<unsigned long long>(stats.examined), static_cast<unsigned long long>(stats.hits));
        std::printf("  scan rate as a share of dd's read rate (%s): %.0f %% (target >= 50 %%)\n", pass->name,
                    100.0 * (freeMb / ours) / ddRate);
        std::printf("            JPEGs rejoined from two pieces: %llu (%llu continuations decoded)\n",
                    static_cast<unsigned long long>(stats.reassembled), static_cast<unsigned long long>(stats.gapProbes));
        if (havePhotoRec) {
            std::printf("  photorec: %.3f s  %.1f MB/s of free space\n", theirs, freeMb / theirs);
            std::printf("  throughput ratio ours/photorec (%s): %.2f\n", pass->name, theirs / ours);
        } else {
            std::printf("  photorec: not installed (package testdisk), skipped\n");
        }
        PrintTallies(std::string("FAT32 image, ") + pass->name, *pass, oursTally, havePhotoRec ? &prTally : nullptr);
    }

    // ---- 2. the raw image ----------------------------------------------------
    const std::string raw = (work / "raw.img").string();
    std::vector<Placed> rawPlaced;
    {
        std::ofstream out(raw, std::ios::binary);
        uint64_t pos = 0;
        auto filler = [&](uint64_t n) {
            std::vector<uint8_t> f(n);
            for (auto& b : f) b = static_cast<uint8_t>(rng());
            out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(n));
            pos += n;
        };
        filler(4096 * 16);
        for (int r = 0; r < 3; ++r) {
            for (size_t s = 0; s < std::size(kSamples); ++s) {
                rawPlaced.push_back({static_cast<int>(s), pos / 4096, pos});
                out.write(reinterpret_cast<const char*>(samples[s].data()), static_cast<std::streamsize>(samples[s].size()));
                pos += samples[s].size();
                filler((4096 - pos % 4096) % 4096 + 4096 * (1 + rng() % 64));
            }
        }
    }
    CRawVolume rawVolume(4096);
    if (!rawVolume.Initialize(raw)) return 1;
    for (const Pass* pass : passes) {
        const ScanTypeSet types = OurTypes(registry, *pass);
        Recorder rawRec;
        auto t0 = std::chrono::steady_clock::now();
        ScanClusters(rawVolume, types, &rawRec, nullptr);
        const double rawOurs = Seconds(std::chrono::steady_clock::now() - t0);
        const Tally rawOursTally = TallyOurs(*pass, rawPlaced, samples, rawRec.hits);
        Tally rawPr;
        double rawTheirs = 0;
        if (havePhotoRec) {
            const std::string out = (work / ("photorec-raw-" + std::string(pass->name))).string();
            t0 = std::chrono::steady_clock::now();
            Run("cd " + Q(work.string()) + " && photorec /log /d " + Q(out) + " /cmd " + Q(raw) + " partition_none," +
                PhotoRecTypes(*pass) + ",wholespace,search >/dev/null 2>&1");
            rawTheirs = Seconds(std::chrono::steady_clock::now() - t0);
            rawPr = TallyPhotoRec(*pass, out, rawPlaced, samples);
        }
        std::printf("\nraw image without a file system, %s: %.1f MB, 4,096-byte units; ours %.3f s", pass->name,
                    fs::file_size(raw) / 1e6, rawOurs);
        if (havePhotoRec) std::printf(", photorec %.3f s", rawTheirs);
        std::printf("\n");
        PrintTallies(std::string("raw image, ") + pass->name, *pass, rawOursTally, havePhotoRec ? &rawPr : nullptr);
    }

    if (!keep) fs::remove_all(work);
    return 0;
}
