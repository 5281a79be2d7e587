// The embedded preview JPEGs of a picture and a JPEG's frame size: the
// input as a whole file, each picture found checked against what the
// parser promises, and each one's bytes within the input measured.
#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/formats/EmbeddedPictures.h"

int FuzzEmbeddedPictures(const uint8_t* data, size_t size) {
    const auto pictures = preview::FindEmbeddedPictures(data, size);
    FUZZ_CHECK(pictures.size() <= preview::kMaxEmbeddedPictures);
    for (size_t i = 0; i < pictures.size(); ++i) {
        const preview::EmbeddedPicture& p = pictures[i];
        FUZZ_CHECK(p.length >= preview::kMinEmbeddedLength && p.length <= preview::kMaxEmbeddedLength);
        FUZZ_CHECK(p.offset + p.length > p.offset);
        if (i > 0) FUZZ_CHECK(pictures[i - 1].length <= p.length);
        if (p.offset < size) {
            FUZZ_CHECK(data[p.offset] == 0xFF);
            if (p.offset + 1 < size) FUZZ_CHECK(data[p.offset + 1] == 0xD8);
            uint32_t width = 0, height = 0;
            preview::JpegDimensions(data + p.offset, size - static_cast<size_t>(p.offset), width, height);
        }
    }
    uint32_t width = 0, height = 0;
    if (preview::JpegDimensions(data, size, width, height)) FUZZ_CHECK(width <= 0xFFFF && height <= 0xFFFF);
    return 0;
}
