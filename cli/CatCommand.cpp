// `quarlix cat SOURCE ITEM [--stream NAME] [--force]`: one deleted file's
// content (or an existing file's, by its path) to standard output, read the way the preview reads it, for piping
// into `file`, an image viewer or a pager. Binary content is not written to
// a terminal unless --force.
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "cli/Commands.h"
#include "cli/Session.h"
#include "engine/index/FolderBrowse.h"
#include "engine/recovery/Preview.h"
#include "platform/Text.h"

int RunCat(const GlobalOptions& options, const std::string& source, int partition, const std::string& itemArg,
           const std::string& stream, bool force) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, false, s)) return rc;
    CVolume& v = *s.volume;
    FoundItem item;
    std::unique_ptr<IGenericFile> file;
    uint64_t id = 0;
    bool opened = false;
    if (!ParseItemId(itemArg, id) && stream.empty() && !FindItemByPath(v, s.source.letter, itemArg, item)) {
        // Not a deleted item: an existing file of that path.
        Container folder;
        if (ResolveFolder(v, s.source.letter, itemArg, folder)) {
            PrintError(itemArg + " is a folder: cat writes the content of one file");
            return kExitUsage;
        }
        opened = preview::OpenIndexItem(v, 0, VolumeFilePath(s.source.letter, itemArg), file);
        item.path = itemArg;
        if (!opened) {
            PrintError("no deleted or existing file " + itemArg + " on " + source);
            return kExitUsage;
        }
    } else {
        if (int rc = FindCliItem(s, source, itemArg, item)) return rc;
        if (item.IsFolder()) {
            PrintError(item.path + " is a folder: cat writes the content of one file");
            return kExitUsage;
        }
        opened = stream.empty()
                     ? preview::OpenIndexItem(v, static_cast<uint32_t>(item.info.id), std::u16string(), file)
                     : v.OpenNamedStream(static_cast<uint32_t>(item.info.id), Utf8ToUtf16(stream), file);
    }
    if (!opened || !file) {
        PrintError("cannot read " + item.path + (stream.empty() ? "" : ":" + stream));
        return kExitPartial;
    }
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    bool refused = false, writeFailed = false, first = true;
    const preview::StreamResult r = preview::StreamText(*file, UINT64_MAX, [&](const uint8_t* data, size_t size) {
        if (first && terminal && !force && !preview::LooksLikeText(data, size)) {
            refused = true;
            return WalkResult::Stop;
        }
        first = false;
        if (std::fwrite(data, 1, size, stdout) != size) {
            writeFailed = true;
            return WalkResult::Stop;
        }
        return WalkResult::Continue;
    });
    std::fflush(stdout);
    if (refused) {
        PrintError(item.path + " is not text: it is not written to a terminal (pipe it, or add --force)");
        return kExitUsage;
    }
    if (writeFailed || std::ferror(stdout)) {
        PrintError("cannot write to standard output");
        return kExitPartial;
    }
    if (r.readFailed) {
        PrintError("reading " + item.path + " failed after " + std::to_string(r.delivered) + " bytes");
        return kExitPartial;
    }
    return kExitOk;
}
