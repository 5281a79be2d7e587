#include "engine/recovery/ItemWriter.h"

#include <algorithm>
#include <vector>

#include "app/Log.h"
#include "engine/volume/OutputNames.h"
#include "platform/Text.h"

DrainResult DrainItem(IItemReader& reader, IItemSink& sink, const StopFlag* stop, uint32_t step, CByteSource* source) {
    DrainResult d;
    auto fail = [&](RecoverResult result) {
        d.result = result;
        return d;
    };
    // No more buffer than the item needs, at least one 64 KiB piece.
    const uint64_t want = std::max<uint64_t>(reader.End(), uint64_t(64) << 10);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(std::max<uint32_t>(step, 1), want)));
    uint64_t reported = 0;
    for (;;) {
        if (IsStopped(stop)) {
            LogWrite("The operation was aborted.\n");
            return fail(RecoverResult::Stopped);
        }
        bool hole = false;
        const uint64_t span = reader.Span(hole);
        if (span == 0) break;
        if (hole) {
            const RecoverResult answer = sink.Zeros(d.delivered, span, false);
            if (IsFailure(answer)) return fail(answer);
            reader.SkipHole(span);
            d.delivered += span;
        } else {
            uint32_t got = 0;
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), span));
            const bool ok = reader.Read(buffer.data(), n, got);
            if (got > 0) {
                const RecoverResult answer = sink.Data(buffer.data(), got);
                if (IsFailure(answer)) return fail(answer);
                d.delivered += got;
            }
            if (!ok) {
                // A read error: what the source cannot give becomes zeros,
                // and the copy goes on past it to every readable byte.
                d.readFailed = true;
                const uint64_t skip = source && source->Gone() ? 0 : reader.SkipUnreadable();
                // A copy that cannot go past the error first asks whether the device answers at all.
                if (skip == 0 && source && !source->Gone()) source->StillAnswering();
                if (source && source->Gone()) {
                    // Nothing more will come: the rest is zeros, and the output is kept.
                    const uint64_t rest = reader.End() > d.delivered ? reader.End() - d.delivered : 0;
                    if (rest) {
                        const RecoverResult answer = sink.Zeros(d.delivered, rest, true);
                        if (IsFailure(answer)) return fail(answer);
                        d.delivered += rest;
                    }
                    break;
                }
                if (skip == 0) break;
                const RecoverResult answer = sink.Zeros(d.delivered, skip, true);
                if (IsFailure(answer)) return fail(answer);
                d.delivered += skip;
            } else if (got == 0) {
                break;
            }
        }
        // Bytes read count as progress; a hole moves the position only.
        const uint64_t now = reader.ItemBytes(d.delivered);
        const WalkResult next = sink.Progress(hole ? 0 : static_cast<uint32_t>(now - reported), now);
        reported = now;
        if (next == WalkResult::Stop) return fail(RecoverResult::Stopped);
        if (next == WalkResult::Error) return fail(RecoverResult::Failed);
    }
    if (reader.Broken()) return fail(IsStopped(stop) ? RecoverResult::Stopped : RecoverResult::Failed);
    return d;
}

namespace {

// The output file as the drain's sink, through the callback's answers.
class COutputSink : public IItemSink {
public:
    COutputSink(COutputFile& out, const std::string& path, IRecoverEventCallback* callback)
        : m_out(out), m_path(path), m_callback(callback) {}
    RecoverResult Data(const uint8_t* data, uint32_t n) override {
        return WriteOutputChunk(m_callback, m_out, m_path, data, n);
    }
    RecoverResult Zeros(uint64_t at, uint64_t n, bool unreadable) override {
        const RecoverResult answer = SkipOutputChunk(m_callback, m_out, m_path, n);
        if (!IsFailure(answer) && unreadable && m_callback) m_callback->OnUnreadable(m_path, at, n);
        return answer;
    }
    WalkResult Progress(uint32_t chunkBytes, uint64_t itemBytes) override {
        return m_callback ? m_callback->OnProgress(chunkBytes, itemBytes) : WalkResult::Continue;
    }

private:
    COutputFile& m_out;
    const std::string& m_path;
    IRecoverEventCallback* m_callback;
};

}  // namespace

RecoverResult CopyItem(IItemReader& reader, COutputFile& out, const std::string& path, IRecoverEventCallback* callback,
                       const StopFlag* stop, uint32_t step, CByteSource* source) {
    auto abandon = [&](RecoverResult result) {
        if (reader.KeepsPartial()) return AbandonOutput(callback, out, result, IsStopped(stop));
        out.Close();  // worth nothing unless whole: nothing of it stays
        return result;
    };
    RecoverResult answer = RecoverResult::Ok;
    if (callback) {
        answer = callback->OnFileBegin(path, reader.End());
        if (IsFailure(answer)) return abandon(answer);
    }
    COutputSink sink(out, path, callback);
    const DrainResult d = DrainItem(reader, sink, stop, step, source);
    if (IsFailure(d.result)) return abandon(d.result);
    answer = FinishOutput(callback, out);
    if (IsFailure(answer)) return abandon(answer);
    const bool whole = !d.readFailed && reader.Whole(d.delivered);
    if (!whole) LogWriteLevel(1, "The data stream was recovered not completely.\n");
    if (callback) {
        if (!whole && !d.readFailed && reader.Overwritten()) callback->OnOverwritten(path);
        answer = callback->OnFileEnd(path, whole);
        if (IsFailure(answer)) return answer;
    }
    return RecoverResult::Ok;
}

namespace {

// The first failure of a folder's children, unless a later one ends more (skip all, stop).
void RecordError(RecoverResult result, RecoverResult& error) {
    if (IsFailure(result) &&
        (result == RecoverResult::SkipAll || result == RecoverResult::Stopped || error == RecoverResult::Ok))
        error = result;
}

class CItemWriter {
public:
    CItemWriter(CVolume& volume, uint32_t options, IRecoverEventCallback* callback, const StopFlag* stop)
        : m_volume(volume), m_options(options), m_callback(callback), m_stop(stop), m_source(volume.Source()) {}

    RecoverResult FileItem(uint32_t id, std::string destination) {
        return Bracket(id, destination, false, false, [&] { return File(id, destination); });
    }
    RecoverResult FolderItem(uint32_t id, std::string destination) {
        return Bracket(id, destination, true, false, [&] { return Folder(id, destination); });
    }
    RecoverResult ClustersItem(const ClusterExtents& extents, std::string destination) {
        const uint64_t first = extents.empty() ? 0 : extents.front().cluster;
        return Bracket(first, destination, false, true, [&] { return Clusters(extents, destination); });
    }

    RecoverResult File(uint32_t id, const std::string& destination);
    RecoverResult Folder(uint32_t id, const std::string& destination);
    RecoverResult Clusters(const ClusterExtents& extents, const std::string& destination);

private:
    bool SourceGone() const { return m_source && m_source->Gone(); }

    template <typename Write>
    RecoverResult Bracket(uint64_t id, std::string& destination, bool folder, bool carved, Write&& write) {
        if (SourceGone()) {
            if (m_callback) m_callback->OnNotAttempted();
            return RecoverResult::SourceGone;
        }
        if (!m_callback) return write();
        RecoverResult result = m_callback->OnItemBegin(id, destination, folder, carved);
        if (IsFailure(result)) return result;
        result = write();
        return m_callback->OnItemEnd(id, destination, folder, carved, result);
    }
    RecoverResult Report(ItemProblem problem) {
        return m_callback ? m_callback->OnProblem(problem) : RecoverResult::Failed;
    }
    RecoverResult Encrypted(FileContent& content, const std::string& destination);

    CVolume& m_volume;
    uint32_t m_options;
    IRecoverEventCallback* m_callback;
    const StopFlag* m_stop;
    std::shared_ptr<CByteSource> m_source;
    std::vector<uint32_t> m_folders;  // the folders being written, outermost first
};

RecoverResult CItemWriter::File(uint32_t id, const std::string& destination) {
    FileContent content;
    m_volume.OpenFileContent(id, (m_options & RECOVER_STREAMS) != 0, content, m_stop);
    if (SourceGone()) return RecoverResult::SourceGone;
    if (content.problem && !content.sized) return Report(*content.problem);
    if (m_callback && content.sized) {
        const RecoverResult answer = m_callback->OnItemSize(id, false, false, content.size);
        if (IsFailure(answer)) return answer;
    }
    if (content.problem) return Report(*content.problem);
    if (content.encrypted) return Encrypted(content, destination);

    std::string path = destination;
    COutputFile main;
    RecoverResult result = CreateOutputFile(m_callback, path, main);
    if (IsFailure(result)) return result;
    bool mainDone = false;
    if (content.data) {
        result = CopyItem(*content.data, main, path, m_callback, m_stop, content.copyStep, m_source.get());
        if (IsFailure(result)) return result;
        mainDone = true;
        content.data.reset();
    }
    for (ItemStream& stream : content.streams) {
        if (SourceGone()) break;
        std::string target = StreamOutputPath(m_callback, path, stream.name);
        COutputFile out;
        result = CreateOutputFile(m_callback, target, out);
        if (IsFailure(result)) {
            // The main file is not left empty under its name when it has no data of its own.
            if (!mainDone) AbandonOutput(m_callback, main, result, IsStopped(m_stop));
            if (result == RecoverResult::Stopped) return result;
            LogWriteLevel(1, "Destination file %s couldn't be created.\n", target.c_str());
            return Report(ItemProblem::NoData);
        }
        result = CopyItem(*stream.reader, out, target, m_callback, m_stop, content.copyStep, m_source.get());
        if (IsFailure(result)) {
            if (!mainDone) AbandonOutput(m_callback, main, result, IsStopped(m_stop));
            return result;
        }
        stream.reader.reset();
    }
    if (!mainDone) {
        // Only named streams: the file itself is empty, and carries them.
        result = FinishOutput(m_callback, main);
        if (IsFailure(result)) return AbandonOutput(m_callback, main, result, IsStopped(m_stop));
    }
    return RecoverResult::Ok;
}

// No raw import here: the import stream itself is the output, beside where
// the file would be; no plain placeholder is made.
RecoverResult CItemWriter::Encrypted(FileContent& content, const std::string& destination) {
    std::string path = destination + ".efsraw";
    COutputFile out;
    RecoverResult result = CreateOutputFile(m_callback, path, out);
    if (IsFailure(result)) {
        if (!m_callback) LogWriteLevel(1, "Couldn't open encrypted file for import.\n");
        return result;
    }
    if (!content.data) return Report(ItemProblem::EncryptedImport);
    result = CopyItem(*content.data, out, path, m_callback, m_stop, content.copyStep, m_source.get());
    if (IsSuccess(result)) return result;
    if (result == RecoverResult::Stopped || IsStopped(m_stop)) {
        LogWriteLevel(1, "The operation was aborted.\n");
        return RecoverResult::Stopped;
    }
    if (!content.data->Broken()) return result;  // the callback's own answer
    LogWriteLevel(1, "Error importing encrypted file.\n");
    return Report(ItemProblem::EncryptedImport);
}

RecoverResult CItemWriter::Folder(uint32_t id, const std::string& destination) {
    if (IsStopped(m_stop)) return RecoverResult::Stopped;
    if (m_folders.size() >= kMaxRecoverDepth || std::find(m_folders.begin(), m_folders.end(), id) != m_folders.end()) {
        LogWriteLevel(1, "Folder #%u lies inside itself or too deep; its tree is not recovered again\n", id);
        return Report(ItemProblem::CannotRead);
    }
    FolderContent content;
    m_volume.ReadFolderContent(id, (m_options & RECOVER_ATTRIBUTES) != 0, content);
    if (SourceGone()) return RecoverResult::SourceGone;
    if (content.problem) return Report(*content.problem);
    std::string path = destination;
    RecoverResult result = CreateOutputFolder(m_callback, path);
    if (IsFailure(result)) return result;
    // The callback chose to leave an existing folder as it was: nothing goes into it.
    if (result == RecoverResult::Kept) return RecoverResult::Kept;
    if (content.attributesUnreadable) {
        LogWrite("Couldn't read the attributes of folder #%u\n", id);
        result = Report(ItemProblem::CannotRead);
        if (IsFailure(result)) return result;
    }

    RecoverResult error = RecoverResult::Ok;
    m_folders.push_back(id);
    for (const FolderChild& child : content.children) {
        if (IsStopped(m_stop)) {
            error = RecoverResult::Stopped;
            break;
        }
        const std::u16string name = child.name.empty() ? Utf8ToUtf16("File" + std::to_string(child.id)) : child.name;
        const std::string out = JoinPath(path, PathSafeName(name));
        result = child.folder ? FolderItem(child.id, out) : FileItem(child.id, out);
        RecordError(result, error);
        if (result == RecoverResult::Stopped) break;
    }
    m_folders.pop_back();
    // Children the source could not give any more: the folder is not whole.
    if (error == RecoverResult::SourceGone) error = RecoverResult::Failed;
    // The attributes go on after the children: a read-only folder would refuse them.
    if (content.attributesKnown) {
        if (!ApplyFolderAttributes(m_callback, path, content.attributes))
            LogWriteLevel(1, "Couldn't set file attributes for file #%u\n", id);
        if (content.attributes & FILE_ATTRIBUTE_ENCRYPTED) LogWriteLevel(1, "Couldn't encrypt file #%u\n", id);
    }
    return error;
}

RecoverResult CItemWriter::Clusters(const ClusterExtents& extents, const std::string& destination) {
    const uint64_t first = extents.empty() ? 0 : extents.front().cluster;
    uint64_t length = 0;
    for (const ClusterExtent& e : extents) length += e.bytes;
    if (m_callback) {
        const RecoverResult answer = m_callback->OnItemSize(first, false, true, length);
        if (IsFailure(answer)) return answer;
    }
    std::string path = destination;
    COutputFile out;
    const RecoverResult result = CreateOutputFile(m_callback, path, out);
    if (IsFailure(result)) return result;
    const std::unique_ptr<IItemReader> reader = m_volume.OpenClusterRuns(extents);
    if (!reader) return AbandonOutput(m_callback, out, RecoverResult::Failed, false);
    return CopyItem(*reader, out, path, m_callback, m_stop, 1u << 20, m_source.get());
}

}  // namespace

RecoverResult RecoverFileItem(CVolume& volume, uint32_t id, std::string destination, uint32_t options,
                              IRecoverEventCallback* callback, const StopFlag* stop) {
    return CItemWriter(volume, options, callback, stop).FileItem(id, std::move(destination));
}

RecoverResult RecoverFolderItem(CVolume& volume, uint32_t id, std::string destination, uint32_t options,
                                IRecoverEventCallback* callback, const StopFlag* stop) {
    return CItemWriter(volume, options, callback, stop).FolderItem(id, std::move(destination));
}

RecoverResult RecoverClustersItem(CVolume& volume, uint64_t firstCluster, uint64_t length, std::string destination,
                                  IRecoverEventCallback* callback, const StopFlag* stop) {
    return CItemWriter(volume, 0, callback, stop).ClustersItem({ClusterExtent {firstCluster, length}}, std::move(destination));
}

RecoverResult RecoverClustersItem(CVolume& volume, const ClusterExtents& extents, std::string destination,
                                  IRecoverEventCallback* callback, const StopFlag* stop) {
    return CItemWriter(volume, 0, callback, stop).ClustersItem(extents, std::move(destination));
}

RecoverResult RecoverFile(CVolume& volume, uint32_t id, const std::string& destination, uint32_t options,
                          IRecoverEventCallback* callback, const StopFlag* stop) {
    CScopeTrace trace(1, "RecoverFile");
    return CItemWriter(volume, options, callback, stop).File(id, destination);
}

RecoverResult RecoverFolder(CVolume& volume, uint32_t id, const std::string& destination, uint32_t options,
                            IRecoverEventCallback* callback, const StopFlag* stop) {
    CScopeTrace trace(1, "RecoverFolder");
    return CItemWriter(volume, options, callback, stop).Folder(id, destination);
}

RecoverResult RecoverClusters(CVolume& volume, uint64_t firstCluster, uint64_t length, const std::string& destination,
                              IRecoverEventCallback* callback, const StopFlag* stop) {
    CScopeTrace trace(1, "RecoverClusters");
    return CItemWriter(volume, 0, callback, stop).Clusters({ClusterExtent {firstCluster, length}}, destination);
}

RecoverResult RecoverClusters(CVolume& volume, const ClusterExtents& extents, const std::string& destination,
                              IRecoverEventCallback* callback, const StopFlag* stop) {
    CScopeTrace trace(1, "RecoverClusters");
    return CItemWriter(volume, 0, callback, stop).Clusters(extents, destination);
}
