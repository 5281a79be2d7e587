// Where an item lies, as the window shows it (what `quarlix stat` prints):
// its record or folder entry, its runs of clusters with their disk offsets,
// and its streams. Used by the properties dialog and the hex view.
#pragma once

#include <QWidget>

#include "engine/volume/Volume.h"

class QTreeWidget;

// A tree of runs (object name "runs"): first cluster in the item, cluster on
// the volume, count, byte offset and first sector from the volume's start.
QTreeWidget* NewRunsTree(const std::vector<RunFact>& runs, uint32_t sectorSize, QWidget* parent);

// The whole placement: record or entry fields, the runs, the streams (object
// name "streams"). An empty placement says that nothing is known.
QWidget* NewPlacementView(const ItemPlacement& placement, uint32_t sectorSize, QWidget* parent);
