// `quarlix cache clean [SOURCE]`: deletes the cached index of one source or of all.
#include <iostream>

#include "cli/Commands.h"
#include "cli/RecordWriter.h"
#include "cli/Source.h"
#include "engine/volume/IndexCache.h"

int RunCacheClean(const GlobalOptions& options, const std::string& source, int partition) {
    bool ok;
    uint64_t removed = 0;
    if (source.empty()) {
        ok = CleanUpCache("", 0, &removed);
    } else {
        OpenedSource src;
        SourceError error;
        if (!OpenSource(source, partition, true, src, error)) {
            PrintError(error.message);
            return error.exitCode;
        }
        ok = CleanUpCache(CacheFolderForSource(src.volume->DevicePath(), src.volume->SourceOffset(),
                                               src.volume->VolumeSerial()),
                          0, &removed);
    }
    MakeRecordWriter(options.json, std::cout)->Write(CacheCleanRecord {ok, source, removed});
    return ok ? kExitOk : kExitPartial;
}
