#include "ScanTestSupport.h"

#include <gtest/gtest.h>

#include "platform/Text.h"

namespace scantest {

void Be16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Be32(Bytes& b, uint32_t v) {
    Be16(b, static_cast<uint16_t>(v >> 16));
    Be16(b, static_cast<uint16_t>(v));
}
void Le16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Le32(Bytes& b, uint32_t v) {
    Le16(b, static_cast<uint16_t>(v));
    Le16(b, static_cast<uint16_t>(v >> 16));
}
void Text(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void Fill(Bytes& b, size_t n, uint8_t v) { b.insert(b.end(), n, v); }
Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

ByteVolume::ByteVolume(const Bytes& bytes, uint32_t unit, uint64_t window) {
    m_path = m_dir.file("source.img");
    testutil::WriteFileBytes(m_path, bytes);
    m_volume = std::make_unique<CRawVolume>(unit);
    if (window) m_volume->SetSourceWindow(0, window);
    EXPECT_TRUE(m_volume->Initialize(m_path)) << m_volume->InitError();
}

Hit DetectOn(DetectFn detect, CVolume& volume, uint64_t cluster, const ScanTypeSet* types, const StopFlag* stop) {
    CarveContext c;
    EXPECT_TRUE(c.Init(&volume, cluster, stop, types));
    Hit h;
    h.found = detect(c);
    if (h.found) {
        h.size = c.size;
        h.type = c.typeKey;
        h.title = c.title;
        h.author = c.author;
        ExpectSignatureAdmits(detect, volume, cluster);
    }
    return h;
}

void ExpectSignatureAdmits(DetectFn detect, CVolume& volume, uint64_t cluster) {
    for (const ProviderDescriptor* d : ProviderDescriptors()) {
        const ProviderSignature& sig = d->signature;
        if (d->detect != detect || sig.bytes.empty()) continue;
        uint8_t byte = 0;
        uint32_t got = 1;
        ASSERT_TRUE(volume.ReadRaw(cluster, sig.offset, &byte, got) && got == 1);
        EXPECT_NE(sig.bytes.find(static_cast<char>(byte)), std::string_view::npos)
            << Utf8(std::u16string(d->name)) << " found a file whose byte " << sig.offset << " is " << int(byte)
            << ", which its signature rules out";
    }
}

Hit Detect(DetectFn detect, const Bytes& file, size_t filler) {
    Bytes all = file;
    Bytes tail = testutil::PatternBytes(filler, 99);
    all.insert(all.end(), tail.begin(), tail.end());
    ByteVolume v(all, 512);
    return DetectOn(detect, v.volume(), 0);
}

const ProviderRegistry& Registry() {
    static ProviderRegistry r = [] {
        ProviderRegistry x;
        RegisterProviders(x);
        return x;
    }();
    return r;
}

ScanTypeSet TypesOf(std::initializer_list<const char16_t*> keys) {
    ScanTypeSet s;
    s.registry = &Registry();
    for (const char16_t* k : keys) EnableType(s, k);
    return s;
}

ScanTypeSet AllTypes() {
    ScanTypeSet s;
    s.registry = &Registry();
    for (const TypeEntry& t : Registry().types) EnableType(s, t.typeKey);
    return s;
}

WalkResult RecordingCallback::OnCountProgress(uint64_t current, uint64_t total) {
    lastCountCurrent = current;
    lastCountTotal = total;
    return static_cast<int64_t>(countCalls++) != failCountAt ? WalkResult::Continue : WalkResult::Stop;
}

WalkResult RecordingCallback::OnScanProgress(uint64_t scanned) {
    scanProgress.push_back(scanned);
    return WalkResult::Continue;
}

WalkResult RecordingCallback::OnFileFound(const std::u16string& typeKey, const std::u16string& title,
                                          const std::u16string& author, uint64_t startCluster, uint64_t size) {
    found.push_back(Found {typeKey, title, author, startCluster, size});
    if (raiseStopOnFound) raiseStopOnFound->store(1);
    return static_cast<int64_t>(found.size() - 1) != failFoundAt ? WalkResult::Continue : WalkResult::Stop;
}

std::string DataDir() { return testutil::SourceDir() + "/tests/data"; }

const std::vector<Sample>& Samples() {
    static const std::vector<Sample> s = {
        {"sample.jpg", u"jpg", u"", u""},
        {"sample.png", u"png", u"", u""},
        {"sample.bmp", u"bmp", u"", u""},
        {"sample.gif", u"gif", u"", u""},
        {"sample.psd", u"psd", u"", u""},
        {"sample.tif", u"tif", u"", u"Ada Lovelace"},
        {"sample-pages-mm.tif", u"tif", u"", u""},
        {"sample.mp3", u"mp3", u"Quiet Title", u"Test Artist"},
        {"sample-mpeg2.mp3", u"mp3", u"Low Rate", u"Second Artist"},
        {"sample.mov", u"mov", u"", u""},
        {"sample.mp4", u"mp4", u"Test Pattern", u"Test Studio"},
        {"sample-faststart.mp4", u"mp4", u"", u""},
        {"sample.m4a", u"m4a", u"Quiet Tone", u"Test Artist"},
        {"sample.m4v", u"m4v", u"Video Title", u""},
        {"sample.3gp", u"3gp", u"Small Clip", u""},
        {"sample.heic", u"heic", u"", u""},
        {"sample.avif", u"avif", u"", u""},
        {"sample.webp", u"webp", u"", u""},
        {"sample-animated.webp", u"webp", u"", u""},
        {"sample.wav", u"wav", u"Wave Title", u"Wave Artist"},
        {"sample.avi", u"avi", u"", u""},
        {"sample.sqlite", u"sqlite", u"", u""},
        {"sample.7z", u"7z", u"", u""},
        {"sample.flac", u"flac", u"", u""},
        {"sample.ogg", u"ogg", u"Ogg Title", u"Ogg Artist"},
        {"sample.mkv", u"mkv", u"", u""},
        {"sample.webm", u"webm", u"", u""},
        {"sample.odt", u"odt", u"Field Notes \u2013 \u00c9t\u00e9", u"Mary Somerville"},
        {"sample.ods", u"ods", u"Seed Inventory", u"Gregor Mendel"},
        {"sample.odp", u"odp", u"Orbit Review", u"Katherine Johnson"},
        {"sample.odg", u"odg", u"Circuit Sketch", u"Hedy Lamarr"},
    };
    return s;
}

std::string Utf8(const std::u16string& s) { return Utf16ToUtf8(s); }

}  // namespace scantest
