#include "ui/ColumnLayout.h"

#include <QHeaderView>

#include "app/Profile.h"

void RestoreColumnLayout(QHeaderView& header, const char* section, uint32_t defaultMap,
                         const std::vector<int32_t>& defaultWidths) {
    CXMLProfile& p = CXMLProfile::Instance();
    const size_t n = defaultWidths.size();
    const uint32_t map = static_cast<uint32_t>(p.ReadInt(section, "ColumnMap", static_cast<int32_t>(defaultMap)));
    std::vector<int32_t> order(n), widths = defaultWidths, buffer(n);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<int32_t>(i);
    const size_t bytes = n * sizeof(int32_t);
    size_t got = 0;
    if (p.ReadBinary(section, "ColumnOrder", buffer.data(), bytes, &got) && got == bytes) {
        std::vector<bool> seen(n);
        bool valid = true;
        for (int32_t v : buffer) {
            if (v < 0 || static_cast<size_t>(v) >= n || seen[static_cast<size_t>(v)]) valid = false;
            else seen[static_cast<size_t>(v)] = true;
        }
        if (valid) order = buffer;
    }
    if (p.ReadBinary(section, "ColumnWidths", buffer.data(), bytes, &got) && got == bytes)
        for (size_t i = 0; i < n; ++i)
            if (buffer[i] > 8 && buffer[i] < 4000) widths[i] = buffer[i];
    for (size_t visual = 0; visual < n; ++visual)
        header.moveSection(header.visualIndex(order[visual]), static_cast<int>(visual));
    for (size_t c = 0; c < n; ++c) {
        header.resizeSection(static_cast<int>(c), widths[c]);
        header.setSectionHidden(static_cast<int>(c), c != 0 && (map & (1u << c)) == 0);
    }
}

void SaveColumnLayout(const QHeaderView& header, const char* section, const std::vector<int32_t>& defaultWidths) {
    CXMLProfile& p = CXMLProfile::Instance();
    const size_t n = defaultWidths.size();
    uint32_t map = 0;
    std::vector<int32_t> order(n), widths(n);
    for (size_t c = 0; c < n; ++c) {
        const int column = static_cast<int>(c);
        if (!header.isSectionHidden(column)) map |= 1u << c;
        order[static_cast<size_t>(header.visualIndex(column))] = column;
        widths[c] = header.sectionSize(column) > 0 ? header.sectionSize(column) : defaultWidths[c];
    }
    p.WriteInt(section, "ColumnMap", static_cast<int32_t>(map));
    p.WriteBinary(section, "ColumnOrder", order.data(), n * sizeof(int32_t));
    p.WriteBinary(section, "ColumnWidths", widths.data(), n * sizeof(int32_t));
}
