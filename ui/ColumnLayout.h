// A list's column layout in the profile: ColumnMap (bit i = column i shown;
// the first column always is), ColumnOrder and ColumnWidths (one signed
// 32-bit value per column, as binary) in the list's layout section.
#pragma once

#include <cstdint>
#include <vector>

class QHeaderView;

// Applies the stored layout; values that are missing or implausible keep the defaults.
void RestoreColumnLayout(QHeaderView& header, const char* section, uint32_t defaultMap,
                         const std::vector<int32_t>& defaultWidths);
void SaveColumnLayout(const QHeaderView& header, const char* section, const std::vector<int32_t>& defaultWidths);
