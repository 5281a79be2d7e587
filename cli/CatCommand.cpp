// `quarlix cat SOURCE ITEM [--stream NAME] [--force]`: one deleted file's
// content (or an existing file's, by its path) to standard output, read the way the preview reads it, for piping
// into `file`, an image viewer or a pager. Binary content is not written to
// a terminal unless --force.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/Commands.h"
#include "cli/Session.h"
#include "engine/index/FolderBrowse.h"
#include "engine/recovery/ItemWriter.h"
#include "engine/recovery/Preview.h"
#include "platform/Text.h"

namespace {

constexpr size_t kMaxRangesShown = 8;

std::string RangeText(const DataRange& r) {
    return "bytes " + std::to_string(r.begin) + "-" + std::to_string(r.end - 1) + " (" + HumanSize(r.end - r.begin) +
           ")";
}

// Standard output as the sink of a deleted item's data; a terminal takes
// only text unless forced.
class CStdoutSink : public IItemSink {
public:
    CStdoutSink(bool terminal, bool force) : m_checkText(terminal && !force) {}
    RecoverResult Data(const uint8_t* data, uint32_t n) override { return Put(data, n); }
    RecoverResult Zeros(uint64_t at, uint64_t n, bool unreadable) override {
        if (unreadable) {
            if (!unreadableRanges.empty() && unreadableRanges.back().end == at)
                unreadableRanges.back().end += n;
            else
                unreadableRanges.push_back({at, at + n});
        }
        static const uint8_t zeros[64 * 1024] = {};
        while (n > 0) {
            const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(n, sizeof zeros));
            const RecoverResult answer = Put(zeros, piece);
            if (IsFailure(answer)) return answer;
            n -= piece;
        }
        return RecoverResult::Ok;
    }
    bool refused = false, writeFailed = false;
    std::vector<DataRange> unreadableRanges;

private:
    RecoverResult Put(const uint8_t* data, uint32_t n) {
        if (m_checkText) {
            m_checkText = false;
            if (!preview::LooksLikeText(data, n)) {
                refused = true;
                return RecoverResult::Failed;
            }
        }
        if (std::fwrite(data, 1, n, stdout) != n) {
            writeFailed = true;
            return RecoverResult::Failed;
        }
        return RecoverResult::Ok;
    }
    bool m_checkText;
};

// Flushes standard output: 0, or the exit status of a refusal or a failed write.
int FinishOutput(CStdoutSink& sink, const std::string& path) {
    std::fflush(stdout);
    if (sink.refused) {
        PrintError(path + " is not text: it is not written to a terminal (pipe it, or add --force)");
        return kExitUsage;
    }
    if (sink.writeFailed || std::ferror(stdout)) {
        PrintError("cannot write to standard output");
        return kExitPartial;
    }
    return 0;
}

// Names each range on standard error, at most kMaxRangesShown of them.
void WarnRanges(const std::string& path, const std::vector<DataRange>& ranges, const std::string& what) {
    uint64_t restBytes = 0;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (i < kMaxRangesShown)
            PrintError(path + ": " + RangeText(ranges[i]) + " " + what);
        else
            restBytes += ranges[i].end - ranges[i].begin;
    }
    if (ranges.size() > kMaxRangesShown)
        PrintError(path + ": " + std::to_string(ranges.size() - kMaxRangesShown) + " more ranges (" +
                   HumanSize(restBytes) + ") " + what);
}

// A deleted file (or one of its named streams) read as recovery reads it:
// every byte that can be had is written; what was overwritten or could not
// be read is named on standard error, and the exit status is then 1.
int CatDeleted(CVolume& v, const FoundItem& item, const std::string& stream, bool force) {
    const uint32_t id = static_cast<uint32_t>(item.info.id);
    FileContent content;
    v.OpenFileContent(id, !stream.empty(), content, nullptr);
    const std::string shown = item.path + (stream.empty() ? "" : ":" + stream);
    if (content.problem) {
        PrintError(content.problem == ItemProblem::NoData
                       ? item.path + " has no data left: only its name was found"
                       : "cannot read " + item.path);
        return kExitPartial;
    }
    if (content.encrypted) {
        PrintError(item.path + " is encrypted: its content cannot be shown (recover writes it as a raw backup)");
        return kExitPartial;
    }
    IItemReader* reader = content.data.get();
    if (!stream.empty()) {
        reader = nullptr;
        const std::u16string name = Utf8ToUtf16(stream);
        for (const ItemStream& st : content.streams)
            if (st.name == name) reader = st.reader.get();
        if (!reader) {
            PrintError("no stream " + stream + " in " + item.path);
            return kExitPartial;
        }
    }
    if (!reader) return kExitOk;  // no unnamed data: an empty file
    CStdoutSink sink(isatty(STDOUT_FILENO) == 1, force);
    const DrainResult d = DrainItem(*reader, sink, nullptr, content.copyStep, v.Source().get());
    if (int rc = FinishOutput(sink, item.path)) return rc;
    if (IsFailure(d.result)) {
        PrintError("reading " + shown + " failed after " + std::to_string(d.delivered) + " bytes");
        return kExitPartial;
    }
    // Overwritten parts: written as zeros, or, past the end of what was
    // written, left out.
    std::vector<DataRange> zeroed, leftOut;
    for (const DataRange& r : reader->OverwrittenRanges()) {
        if (r.begin < std::min(r.end, d.delivered)) zeroed.push_back({r.begin, std::min(r.end, d.delivered)});
        if (r.end > std::max(r.begin, d.delivered)) leftOut.push_back({std::max(r.begin, d.delivered), r.end});
    }
    const uint64_t end = reader->End();
    const uint64_t covered = leftOut.empty() ? d.delivered : leftOut.back().end;
    WarnRanges(shown, zeroed, "were overwritten by other files: written as zeros");
    WarnRanges(shown, leftOut, "were overwritten by other files: not written");
    WarnRanges(shown, sink.unreadableRanges, "could not be read from the source: written as zeros");
    if (covered < end) WarnRanges(shown, {{covered, end}}, "could not be had: not written");
    const bool whole = !d.readFailed && reader->Whole(d.delivered);
    if (!whole && zeroed.empty() && leftOut.empty() && sink.unreadableRanges.empty() && covered >= end)
        PrintError(shown + " is incomplete");
    return whole ? kExitOk : kExitPartial;
}

}  // namespace

int RunCat(const GlobalOptions& options, const std::string& source, int partition, const std::string& itemArg,
           const std::string& stream, bool force) {
    IndexedSource s;
    if (int rc = OpenIndexedSource(options, source, partition, false, s)) return rc;
    CVolume& v = *s.volume;
    FoundItem item;
    std::unique_ptr<IGenericFile> file;
    uint64_t id = 0;
    if (!ParseItemId(itemArg, id) && stream.empty() && !FindItemByPath(v, s.source.letter, itemArg, item)) {
        // Not a deleted item: an existing file of that path.
        Container folder;
        if (ResolveFolder(v, s.source.letter, itemArg, folder)) {
            PrintError(itemArg + " is a folder: cat writes the content of one file");
            return kExitUsage;
        }
        item.path = itemArg;
        if (!preview::OpenIndexItem(v, 0, VolumeFilePath(s.source.letter, itemArg), file) || !file) {
            PrintError("no deleted or existing file " + itemArg + " on " + source);
            return kExitUsage;
        }
    } else {
        if (int rc = FindCliItem(s, source, itemArg, item)) return rc;
        if (item.IsFolder()) {
            PrintError(item.path + " is a folder: cat writes the content of one file");
            return kExitUsage;
        }
        return CatDeleted(v, item, stream, force);
    }
    CStdoutSink sink(isatty(STDOUT_FILENO) == 1, force);
    const preview::StreamResult r = preview::StreamText(*file, UINT64_MAX, [&](const uint8_t* data, size_t size) {
        return IsFailure(sink.Data(data, static_cast<uint32_t>(size))) ? WalkResult::Stop : WalkResult::Continue;
    });
    if (int rc = FinishOutput(sink, item.path)) return rc;
    if (r.readFailed) {
        PrintError("reading " + item.path + " failed after " + std::to_string(r.delivered) + " bytes");
        return kExitPartial;
    }
    return kExitOk;
}
