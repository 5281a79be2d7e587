// The recycle bin's on-disk records, parsed from bytes.
//
// Two layouts exist. The INFO2 file (Windows up to XP: folder "RECYCLER\<SID>"
// on NTFS, "Recycled" on FAT) is a 20-byte header and 800-byte records, one
// per recycled file; the recycled file is named "D<drive letter><record
// number><extension>". From Vista on, each recycled file is a pair in
// "$Recycle.Bin\<SID>": "$R<six characters><extension>" holds the data and
// "$I<same>" holds the former path, in version 1 (Vista to 8.1: the path as
// 260 UTF-16 units at offset 24, 544 bytes) or version 2 (Windows 10 on: a
// u32 length in characters at 24, the path at 28).
//
// The loader that uses these (CVolume::LoadRecycleBin) lives in
// RecycleBin.cpp; these functions take bytes only, so they can be tested
// with crafted input. Every length is checked against the bytes present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace recyclebin {

inline constexpr size_t kInfo2HeaderSize = 20;
inline constexpr size_t kInfo2RecordSize = 800;
inline constexpr size_t kDollarIV1Size = 544;
inline constexpr size_t kDollarIMaxRead = 65536;
// Upper bound of INFO2 records read from one file.
inline constexpr size_t kMaxInfo2Records = 1 << 20;

// INFO2 record fields (offsets inside an 800-byte record).
inline constexpr size_t kInfo2AnsiPath = 0;     // 260 bytes, not used
inline constexpr size_t kInfo2Number = 260;     // u32: record number
inline constexpr size_t kInfo2Drive = 264;      // u32: 0 = a
inline constexpr size_t kInfo2Deleted = 268;    // FILETIME, not used
inline constexpr size_t kInfo2Size = 276;       // u32, not used
inline constexpr size_t kInfo2WidePath = 280;   // 260 UTF-16 units

struct Info2Record {
    uint32_t number = 0;
    char16_t driveLetter = u'a';
    std::u16string formerPath;
};

// Decodes one 800-byte record; false when fewer bytes are given.
bool ParseInfo2Record(const uint8_t* data, size_t size, Info2Record& out);
// "D" + drive letter + record number + the former path's extension.
std::u16string Info2RecycledName(const Info2Record& record);

// The former path of a $I file of either version; false when the bytes are
// too few for the version (v1 needs 544 bytes, v2 at least 28 and a length
// above 0) or the version is unknown. A v2 length beyond the bytes present is
// cut at the end of the file.
bool ParseDollarI(const uint8_t* data, size_t size, std::u16string& formerPath);

// The last component of a Windows path (after the last "\").
std::u16string LastComponent(std::u16string_view path);
// The extension with its dot ("" when the last component has no dot).
std::u16string Extension(std::u16string_view name);
// ASCII case folding (recycle-bin names are ASCII: "$I", "$R", "D", SIDs, "INFO2").
std::u16string FoldAscii(std::u16string_view s);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);

}  // namespace recyclebin
