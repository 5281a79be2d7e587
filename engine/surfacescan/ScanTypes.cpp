#include "ScanTypes.h"

#include <algorithm>

namespace {

constexpr ScanTypeInfo kTypes[] = {
    {u"zip", u"ZIP archive", u"Compressed archives in the ZIP format"},
    {u"docx", u"Word document", u"Microsoft Word documents (Office Open XML)"},
    {u"xlsx", u"Excel workbook", u"Microsoft Excel workbooks (Office Open XML)"},
    {u"pptx", u"PowerPoint presentation", u"Microsoft PowerPoint presentations (Office Open XML)"},
    {u"doc", u"Word 97-2003 document", u"Microsoft Word documents (compound file)"},
    {u"xls", u"Excel 97-2003 workbook", u"Microsoft Excel workbooks (compound file)"},
    {u"ppt", u"PowerPoint 97-2003 presentation", u"Microsoft PowerPoint presentations (compound file)"},
    {u"pst", u"Outlook data file", u"Outlook personal folders"},
    {u"ost", u"Outlook offline data file", u"Outlook offline folders"},
    {u"mp3", u"MP3 audio", u"MPEG audio with ID3 and Lyrics3 tags"},
    {u"jpg", u"JPEG image", u"JPEG photos and pictures (JFIF, Exif)"},
    {u"png", u"PNG image", u"Portable Network Graphics pictures"},
    {u"bmp", u"Bitmap image", u"Windows bitmap pictures"},
    {u"gif", u"GIF image", u"GIF pictures and animations"},
    {u"psd", u"Photoshop image", u"Adobe Photoshop documents"},
    {u"tif", u"TIFF image", u"Tagged Image File Format pictures"},
    {u"dng", u"DNG raw image", u"Digital Negative camera raw pictures"},
    {u"pdf", u"PDF document", u"Portable Document Format files"},
    {u"mov", u"QuickTime movie", u"QuickTime video files"},
    {u"cr2", u"CR2 raw image", u"Canon camera raw pictures"},
    {u"nef", u"NEF raw image", u"Nikon camera raw pictures"},
    {u"arw", u"ARW raw image", u"Sony camera raw pictures"},
    {u"orf", u"ORF raw image", u"Olympus camera raw pictures"},
    {u"rw2", u"RW2 raw image", u"Panasonic camera raw pictures"},
    {u"pef", u"PEF raw image", u"Pentax camera raw pictures"},
    {u"srw", u"SRW raw image", u"Samsung camera raw pictures"},
    {u"raf", u"RAF raw image", u"Fujifilm camera raw pictures"},
    {u"mp4", u"MP4 video", u"MPEG-4 video files"},
    {u"m4a", u"M4A audio", u"MPEG-4 audio files (AAC, ALAC, audio books)"},
    {u"m4v", u"M4V video", u"MPEG-4 video files of the iTunes kind"},
    {u"3gp", u"3GP video", u"Mobile phone video files (3GPP, 3GPP2)"},
    {u"heic", u"HEIC image", u"High Efficiency Image files (HEVC)"},
    {u"heif", u"HEIF image", u"High Efficiency Image File Format pictures"},
    {u"avif", u"AVIF image", u"AV1 Image File Format pictures"},
    {u"cr3", u"CR3 raw image", u"Canon camera raw pictures (CR3)"},
    {u"webp", u"WebP image", u"WebP pictures (lossy, lossless, extended)"},
    {u"wav", u"WAVE audio", u"Waveform audio files (RIFF WAVE)"},
    {u"avi", u"AVI video", u"Audio Video Interleave movies"},
    {u"sqlite", u"SQLite database", u"SQLite 3 database files"},
    {u"7z", u"7-Zip archive", u"Compressed archives in the 7z format"},
    {u"flac", u"FLAC audio", u"Free Lossless Audio Codec files"},
    {u"ogg", u"Ogg audio", u"Ogg streams (Vorbis, Opus)"},
    {u"mkv", u"Matroska video", u"Matroska multimedia files"},
    {u"webm", u"WebM video", u"WebM video files"},
    {u"odt", u"OpenDocument text", u"OpenDocument text documents (LibreOffice Writer)"},
    {u"ods", u"OpenDocument spreadsheet", u"OpenDocument spreadsheets (LibreOffice Calc)"},
    {u"odp", u"OpenDocument presentation", u"OpenDocument presentations (LibreOffice Impress)"},
    {u"odg", u"OpenDocument drawing", u"OpenDocument drawings (LibreOffice Draw)"},
    {u"rar", u"RAR archive", u"Compressed archives in the RAR format (versions 4 and 5)"},
};

constexpr std::u16string_view kArchives[] = {u"zip", u"7z", u"rar"};
constexpr std::u16string_view kOffice[] = {u"docx", u"xlsx", u"pptx", u"doc", u"xls", u"ppt", u"pst", u"ost"};
constexpr std::u16string_view kAudio[] = {u"mp3", u"m4a", u"wav", u"flac", u"ogg"};
constexpr std::u16string_view kImages[] = {u"jpg", u"png", u"bmp",  u"gif",  u"psd", u"tif", u"dng",
                                           u"cr2", u"nef", u"arw",  u"orf",  u"rw2", u"pef", u"srw",
                                           u"raf", u"heic", u"heif", u"avif", u"cr3", u"webp"};
constexpr std::u16string_view kOther[] = {u"pdf", u"mov", u"mp4", u"m4v", u"3gp", u"avi", u"sqlite",
                                          u"mkv", u"webm", u"odt", u"ods", u"odp", u"odg"};

constexpr ScanTypeGroup kGroups[] = {
    {u"archives", u"Archives", u"Compressed archives", kArchives},
    {u"msoffice", u"Microsoft Office", u"Office documents and Outlook data files", kOffice},
    {u"audio", u"Audio", u"Music and sound files", kAudio},
    {u"images", u"Images", u"Photos and pictures", kImages},
    {u"other", u"Other", u"Other documents and video", kOther},
};

std::u16string_view DisplayName(std::u16string_view key) {
    const ScanTypeInfo* t = FindScanType(key);
    return t ? t->displayName : key;
}

void SortByDisplayName(std::vector<std::u16string>& keys) {
    std::stable_sort(keys.begin(), keys.end(),
                     [](const std::u16string& a, const std::u16string& b) { return DisplayName(a) < DisplayName(b); });
}

bool IsForbidden(char16_t c) {
    if (c <= 0x1F) return true;
    switch (c) {
        case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|': case u'?': case u'*':
            return true;
        default:
            return false;
    }
}

std::u16string Decimal(uint64_t v) {
    std::u16string s;
    do {
        s.insert(s.begin(), static_cast<char16_t>(u'0' + v % 10));
        v /= 10;
    } while (v);
    return s;
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::span<const ScanTypeInfo> ScanTypes() { return kTypes; }

const ScanTypeInfo* FindScanType(std::u16string_view key) {
    for (const ScanTypeInfo& t : kTypes)
        if (t.key == key) return &t;
    return nullptr;
}

std::span<const ScanTypeGroup> ScanTypeGroups() { return kGroups; }

std::vector<std::u16string> TypesInDisplayOrder(int orderTypesBy) {
    std::vector<std::u16string> order;
    if (orderTypesBy == 0) {
        for (const ScanTypeGroup& g : kGroups)
            for (std::u16string_view k : g.typeKeys) order.emplace_back(k);
        SortByDisplayName(order);
        return order;
    }
    std::vector<const ScanTypeGroup*> groups;
    for (const ScanTypeGroup& g : kGroups) groups.push_back(&g);
    std::stable_sort(groups.begin(), groups.end(),
                     [](const ScanTypeGroup* a, const ScanTypeGroup* b) { return a->displayName < b->displayName; });
    for (const ScanTypeGroup* g : groups) {
        std::vector<std::u16string> keys(g->typeKeys.begin(), g->typeKeys.end());
        SortByDisplayName(keys);
        order.insert(order.end(), keys.begin(), keys.end());
    }
    return order;
}

uint32_t EnableTypesFromSettings(ScanTypeSet& scanner, const std::map<std::string, bool>& checked, int orderTypesBy) {
    ResetTypes(scanner);
    uint32_t n = 0;
    for (const std::u16string& key : TypesInDisplayOrder(orderTypesBy)) {
        std::string narrow(key.begin(), key.end());  // type keys are ASCII
        auto it = checked.find(narrow);
        bool on = it == checked.end() ? scansettings::kTypeEnabledDefault : it->second;
        if (!on) continue;
        ++n;
        EnableType(scanner, key);
    }
    return n;
}

bool MakeCarvedItemName(std::u16string_view typeKey, std::u16string_view title, std::u16string_view author,
                        uint64_t startCluster, std::u16string& name) {
    const ScanTypeInfo* type = FindScanType(typeKey);
    if (!type) return false;
    std::u16string text(title.empty() ? type->displayName : title);
    std::u16string n;
    if (!author.empty()) {
        n.append(author);
        n.append(u" - ");
    }
    n.append(text);
    n.append(u" (");
    n.append(Decimal(startCluster));
    n.append(u").");
    n.append(typeKey);
    for (char16_t& c : n)
        if (IsForbidden(c)) c = u'_';
    if (n.size() >= 250) {
        size_t head = 50;
        if (IsHighSurrogate(n[head - 1]) && IsLowSurrogate(n[head])) --head;
        size_t tail = n.size() - 50;
        if (IsLowSurrogate(n[tail]) && IsHighSurrogate(n[tail - 1])) ++tail;
        n = n.substr(0, head) + u" ... " + n.substr(tail);
    }
    name = std::move(n);
    return true;
}
