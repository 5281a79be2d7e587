#include "DocumentTestSupport.h"

#include <gtest/gtest.h>

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
    ScanTypeSet s;
    s.registry = &scantest::Registry();
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

std::string DocumentsDir() { return testutil::SourceDir() + "/tests/data/documents"; }

}  // namespace doctest
