#include "DocumentTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/Text.h"

namespace doctest {

void Le64(Bytes& b, uint64_t v) {
    Le32(b, static_cast<uint32_t>(v));
    Le32(b, static_cast<uint32_t>(v >> 32));
}
void Put16(Bytes& b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
    Put16(b, at, static_cast<uint16_t>(v));
    Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void Put64(Bytes& b, size_t at, uint64_t v) {
    Put32(b, at, static_cast<uint32_t>(v));
    Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}
void PadTo(Bytes& b, size_t size, uint8_t fill) {
    if (b.size() < size) b.resize(size, fill);
}

ScanTypeSet TypesOf(std::initializer_list<const char16_t*> keys) {
    ScanTypeSet s;
    for (const char16_t* k : keys) s.enabledKeys.insert(k);
    return s;
}

ScanTypeSet AllDocumentTypes() {
    return TypesOf({u"zip", u"docx", u"xlsx", u"pptx", u"doc", u"xls", u"ppt", u"pdf", u"pst", u"ost"});
}

ScanTypeSet RegisteredDocumentTypes() {
    static const ProviderRegistry registry = [] {
        ProviderRegistry r;
        RegisterProviders(r);
        return r;
    }();
    ScanTypeSet s;
    s.registry = &registry;
    for (const char16_t* k : {u"zip", u"docx", u"xlsx", u"pptx", u"doc", u"xls", u"ppt", u"pdf", u"pst", u"ost"})
        EnableType(s, k);
    return s;
}

ByteVolume::ByteVolume(const Bytes& bytes, size_t filler, bool zeroFiller) {
    m_path = m_dir.file("source.img");
    Bytes all = bytes;
    if (zeroFiller) {
        all.resize(all.size() + filler, 0);
    } else {
        const Bytes tail = testutil::PatternBytes(filler, 99);
        all.insert(all.end(), tail.begin(), tail.end());
    }
    testutil::WriteFileBytes(m_path, all);
    m_volume = std::make_unique<CRawVolume>(512);
    EXPECT_TRUE(m_volume->Initialize(m_path)) << m_volume->InitError();
}

Hit Detect(DetectFn detect, const Bytes& file, const ScanTypeSet* types, size_t filler) {
    ByteVolume v(file, filler);
    return DetectOn(detect, v.volume(), 0, types);
}

std::string Utf8(const std::u16string& s) { return Utf16ToUtf8(s); }

std::string DocumentsDir() { return testutil::SourceDir() + "/tests/data/documents"; }

bool HaveFatTools() {
    return testutil::HaveTool("mkfs.fat") && testutil::HaveTool("mcopy") && testutil::HaveTool("mdel") &&
           testutil::HaveTool("mshowfat");
}

DeletedFilesImage::DeletedFilesImage(const std::vector<std::string>& paths, int sectorsPerCluster) {
    auto q = testutil::Quote;
    const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
    m_image = m_dir.file("fat32.img");
    // FAT32 needs at least 65,525 clusters.
    const int kib = 70000 * sectorsPerCluster / 2;
    testutil::MustRun("mkfs.fat -C -F 32 -s " + std::to_string(sectorsPerCluster) + " -S 512 " + q(m_image) + " " +
                      std::to_string(kib) + " >/dev/null");
    std::string targets;
    for (size_t i = 0; i < paths.size(); ++i) {
        testutil::WriteFileBytes(m_dir.file("spacer" + std::to_string(i)),
                                 testutil::PatternBytes(700, static_cast<uint32_t>(i + 1)));
        targets += " ::/f" + std::to_string(i);
    }
    // Each file, then a live spacer, so that the deleted files lie between
    // clusters in use.
    for (size_t i = 0; i < paths.size(); ++i) {
        testutil::MustRun(mt + "mcopy -i " + q(m_image) + " " + q(paths[i]) + " ::/f" + std::to_string(i));
        testutil::MustRun(mt + "mcopy -i " + q(m_image) + " " + q(m_dir.file("spacer" + std::to_string(i))) +
                          " ::/s" + std::to_string(i));
    }
    // mshowfat prints "::/f0 <3-23>" (or several runs); the first number is
    // the first cluster.
    const std::string fat = testutil::MustRun(mt + "mshowfat -i " + q(m_image) + targets);
    for (size_t at = fat.find("::/f"); at != std::string::npos; at = fat.find("::/f", at + 1)) {
        size_t index = 0, cluster = 0;
        if (std::sscanf(fat.c_str() + at, "::/f%zu <%zu", &index, &cluster) == 2 && index < paths.size())
            m_first[paths[index]] = cluster;
    }
    EXPECT_EQ(m_first.size(), paths.size()) << fat;
    testutil::MustRun(mt + "mdel -i " + q(m_image) + targets);
    auto v = std::make_unique<CFatVolume>();
    if (v->Initialize(m_image)) m_volume = std::move(v);
    else ADD_FAILURE() << "CFatVolume::Initialize: " << v->InitError();
}


bool HaveNtfsTools() {
    return testutil::HaveTool("mkntfs") && testutil::HaveTool("istat") &&
           std::ifstream(testutil::BinDir() + "/ntfs-fixture").good();
}

namespace {

// The runs (first cluster, cluster count) of a record's unnamed $DATA, in
// file order, as "istat -r" lists them: "Starting address: 6656, length: 2".
std::vector<std::pair<uint64_t, uint64_t>> IstatDataRuns(const std::string& image, uint64_t record) {
    const std::string text = testutil::MustRun("istat -r " + testutil::Quote(image) + " " + std::to_string(record));
    std::vector<std::pair<uint64_t, uint64_t>> runs;
    const size_t data = text.find("Type: $DATA (128-");
    if (data == std::string::npos) return runs;
    const size_t next = text.find("Type: ", data + 1);
    std::istringstream lines(text.substr(data, next == std::string::npos ? std::string::npos : next - data));
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long long first = 0, count = 0;
        if (std::sscanf(line.c_str(), " Starting address: %llu, length: %llu", &first, &count) == 2)
            runs.emplace_back(first, count);
    }
    return runs;
}

}  // namespace

DeletedFilesNtfsImage::DeletedFilesNtfsImage(const std::vector<std::string>& paths, int clusterSize) {
    auto q = testutil::Quote;
    m_image = m_dir.file("ntfs.img");
    // Each file, then a live spacer, so that the deleted files lie between
    // clusters in use. The fixture program takes double-quoted arguments.
    std::string script;
    for (size_t i = 0; i < paths.size(); ++i) {
        script += "copyin /f" + std::to_string(i) + " \"" + paths[i] + "\"\n";
        script += "write /s" + std::to_string(i) + " random:" + std::to_string(i + 1) + " 3000\n";
    }
    for (size_t i = 0; i < paths.size(); ++i) script += "delete /f" + std::to_string(i) + "\n";
    const std::string scriptPath = m_dir.file("script.txt");
    std::ofstream(scriptPath) << script;
    testutil::MustRun("truncate -s 48M " + q(m_image) + " && mkntfs -F -f -q -c " + std::to_string(clusterSize) + " " +
                      q(m_image) + " >/dev/null 2>&1");
    // The fixture program prints "RECORD PATH" for every file it creates.
    const std::string out =
        testutil::MustRun(q(testutil::BinDir() + "/ntfs-fixture") + " " + q(m_image) + " - < " + q(scriptPath));
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        unsigned long long record = 0;
        size_t index = 0;
        if (std::sscanf(line.c_str(), "%llu /f%zu", &record, &index) != 2 || index >= paths.size()) continue;
        if (line.find("(deleted)") != std::string::npos) continue;
        const auto runs = IstatDataRuns(m_image, record);
        if (!runs.empty()) m_runs[paths[index]] = runs;
    }
    if (m_runs.size() != paths.size()) {
        ADD_FAILURE() << "the files' clusters are not all known: " << out;
        return;
    }
    auto v = std::make_unique<CNtfsVolume>();
    if (v->Initialize(m_image)) m_volume = std::move(v);
    else ADD_FAILURE() << "CNtfsVolume::Initialize failed on " << m_image;
}

bool DeletedFilesNtfsImage::Contiguous(const std::string& path) const {
    const auto& runs = m_runs.at(path);
    for (size_t i = 1; i < runs.size(); ++i)
        if (runs[i].first != runs[i - 1].first + runs[i - 1].second) return false;
    return true;
}

}  // namespace doctest
