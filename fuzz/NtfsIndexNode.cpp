// The $I30 node walker over the input as an $INDEX_ROOT value and as a
// (fixed-up) INDX block.
#include "FuzzSupport.h"
#include "FuzzTargets.h"
#include "engine/ntfs/NtfsIndexNode.h"

namespace {

void Walk(const uint8_t* data, size_t size, size_t header) {
    LeBytes node(data, size);
    CNtfsIndexNodeReader reader(node, header);
    NtfsIndexNodeEntry e;
    size_t last = 0;
    for (size_t n = 0; reader.Next(e); ++n) {
        FUZZ_CHECK(n <= size / 16);  // every entry takes at least 16 bytes: the walk moves forward
        FUZZ_CHECK(e.key >= last && e.key <= size);
        last = e.key;
        // keyLength is the raw field; a name is only reported when it lies inside the key and the entry.
        if (e.hasName) {
            FUZZ_CHECK(NtfsIndexNodeEntry::kKeyName + size_t(e.nameLength) * 2 <= e.keyLength);
            FUZZ_CHECK(e.key + NtfsIndexNodeEntry::kKeyName + size_t(e.nameLength) * 2 <= size);
            reader.Name(e);
        }
        if (e.IsLast()) break;
    }
}

}  // namespace

int FuzzNtfsIndexNode(const uint8_t* data, size_t size) {
    Walk(data, size, kIndexRootHeader);
    Walk(data, size, kIndexBlockHeader);
    return 0;
}
