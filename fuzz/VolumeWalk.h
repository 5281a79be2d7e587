// A bounded walk over what a volume shows after BuildIndex or a cache
// restore: the deleted items of each live folder and of each deleted
// folder, the lost folders, the recycle bin, and for each item its info,
// full path and the first bytes of its data.
#pragma once
#include "engine/volume/Volume.h"

void WalkVolume(CVolume& volume);
