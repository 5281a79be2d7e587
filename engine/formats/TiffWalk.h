// The IFD walk shared by the TIFF/DNG recogniser (TiffProvider.cpp) and the
// camera raw recognisers of the TIFF family (RawProviders.cpp).
//
// A walk reads IFDs from a candidate's first byte on and tracks the extent:
// the largest end of anything the file is seen to hold (IFDs, out-of-line
// values, strips, tiles and, for raw files, embedded JPEG streams). It also
// notes whether an IFD describes a full-resolution image, whether one holds
// colour-filter-array data, DNGVersion and the identifying text of the first
// IFD that carries it (Make, Model, ImageDescription, Artist).
//
// Two rule sets:
// - Tiff: the TIFF rules. Strip/tile counts must match the image's size,
//   DateTime holds 20 bytes; a failing IFD in the main chain is skipped
//   until a full-resolution image was seen.
// - CameraRaw: the makers' layouts. Strips are taken as listed (a raw IFD
//   may lack ImageWidth), JPEGInterchangeFormat/Length count, the Exif, GPS
//   and Interoperability IFDs are walked for their values (the MakerNote is
//   one opaque value: nothing inside it is followed), an image strip of 0
//   bytes fails its IFD, and any IFD that fails fails the walk: a size
//   measured without it could be short. An RW2's IFD 0 with packed raw data
//   (Panasonic compression 34316) measures that data from RawDataOffset and
//   the sensor's width and height (TiffProvider.cpp), its strips marked
//   absent by the cameras (0 bytes) being no failure.
//
// Bounds: every position and end is checked against the rule set's cap
// before use; an IFD holds at most kTiffMaxEntries entries, a value at most
// 1,048,576 elements; at most 1,024 IFDs are parsed per candidate, each
// once (an offset met a second time fails that IFD); SubIFDs and the Exif
// IFDs nest at most 4 deep; out-of-line arrays are read in buffer-sized
// pieces; text is cut to the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CarveContext;

struct TiffFacts {
    bool bigEndian = false;
    uint16_t magic = 0;          // 42 for TIFF; the makers' own values otherwise
    uint32_t firstIfd = 0;
    bool canonHeader = false;    // "CR", major version 2 at offset 8 of a TIFF header
    uint32_t canonRawIfd = 0;    // the raw IFD's offset at 12 of that header
    uint64_t extent = 0;
    bool main = false;           // a full-resolution image with data was seen
    bool cfa = false;            // PhotometricInterpretation CFA or LinearRaw
    bool dng = false;            // DNGVersion present
    std::string make, model, description, artist;  // first seen, cut at the first NUL
};

// The camera raw type a walked file is (cr2, nef, arw, orf, rw2, pef, srw),
// or empty for a TIFF or DNG: from the header's magic, the CR2 header, or
// IFD 0's Make together with colour-filter-array data, never with
// DNGVersion. Defined with the camera raw recognisers.
std::u16string_view CameraRawTypeKey(const TiffFacts& facts);

class TiffWalk {
public:
    enum class Rules { Tiff, CameraRaw };
    TiffWalk(CarveContext& c, Rules rules, uint64_t positionCap);

    // Reads the 8-byte header: byte order ("II"/"MM"), magic and first IFD
    // offset, and for magic 42 the CR2 fields that may follow. False when
    // the order mark is neither or the offset is past the cap.
    bool ReadHeader();
    // Walks the chain from the first IFD (and the trees below each IFD).
    bool WalkChain();
    // Walks one more IFD and its trees (CR2's raw IFD); an IFD already
    // walked is no failure.
    bool WalkExtra(uint32_t offset);

    const TiffFacts& Facts() const { return m_f; }

private:
    struct ValueRef {
        bool present = false;
        uint64_t bytes = 0;
        uint32_t elementSize = 0;
        uint8_t field[4] = {};
        uint32_t offset = 0;
        uint64_t Elements() const { return elementSize ? bytes / elementSize : 0; }
    };
    uint16_t U16(const uint8_t* p) const;
    uint32_t U32(const uint8_t* p) const;
    uint32_t Element(const uint8_t* p, uint32_t size) const;
    void Extend(uint64_t end) { if (end > m_f.extent) m_f.extent = end; }
    bool ReadElements(const ValueRef& v, uint64_t first, uint32_t n, std::vector<uint32_t>& out);
    bool ReadText(const ValueRef& v, std::string& out);
    bool WalkTree(const ValueRef& v, bool& main, int depth, bool valuesOnly);
    bool ParseIfd(uint64_t o, bool& main, uint64_t& next, int depth, bool valuesOnly);
    bool Seen(uint64_t o) const;

    CarveContext& m_c;
    const bool m_raw;
    const uint64_t m_cap;
    TiffFacts m_f;
    std::vector<uint64_t> m_visited;
    uint32_t m_ifds = 0;
};
