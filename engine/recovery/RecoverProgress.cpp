#include "RecoverProgress.h"

#include <filesystem>

#include "app/Log.h"
#include "engine/volume/OutputNames.h"
#include "engine/volume/Volume.h"
#include "platform/Status.h"

namespace {

// Status texts shown beside failed or warned items.
const char* const kStatusRecovering = "Recovering";
const char* const kStatusCancelled = "Cancelled";
const char* const kStatusCannotRead = "Cannot read the item from the source";
const char* const kStatusNoName = "The record has no file name";
const char* const kStatusCreateFile = "Cannot create the file";
const char* const kStatusEfsInconsistent = "Encryption data is inconsistent";
const char* const kStatusEfsImport = "Writing the encrypted file failed";
const char* const kStatusWrite = "Write error";
const char* const kStatusIncomplete = "Incomplete: part of the data could not be read";
const char* const kStatusOverwritten = "Incomplete: part of the data was overwritten by other files";
const char* const kStatusNoData = "No data";
const char* const kStatusNameOnly = "Only its name is left: its data is gone";
const char* const kStatusCreateFolder = "Cannot create the folder";
const char* const kStatusFolderSkipped = "Folder skipped";
const char* const kStatusFolderFailed = "Folder not recovered completely";
const char* const kStatusKept = "Exists already; left as it was";
const char* const kStatusContentFailed = "content check failed";
const char* const kStatusRunsIntoOther = "its assumed clusters run into another deleted item";
const char* const kNoteContiguity = "contiguity assumed";
const char* const kNoteContentPassed = "contiguity assumed; content check passed";
const char* const kStatusOverrun = "Corrupt: the source delivers more data than the item's size";

}  // namespace

ConflictStep DecideConflict(ConflictPolicy policy, bool folder, bool announced, bool carved) {
    if (announced) {
        if (policy == ConflictPolicy::Overwrite) return ConflictStep::Overwrite;
        // Files that meet files already there settle their own conflicts inside a kept folder.
        if (policy == ConflictPolicy::Skip) return folder ? ConflictStep::Overwrite : ConflictStep::Keep;
        if (folder || !carved) return ConflictStep::RuleName;
    }
    return policy == ConflictPolicy::Rename ? ConflictStep::FreeName : ConflictStep::Ask;
}

bool CRecoverProgress::Exists(const std::string& path) { return OutputExists(OutputRoot(), path); }

CRecoverProgress::CRecoverProgress(CVolume* volume, IRecoverPrompts* prompts, bool carved)
    : m_volume(volume), m_prompts(prompts), m_carvedJob(carved), m_traits(volume ? volume->Traits() : VolumeTraits {}) {}

void CRecoverProgress::SetTotalSize(uint64_t total) {
    std::lock_guard<std::mutex> g(m_lock);
    m_c.totalSize = total;
}

const char* RecoverStatusName(const RecoverItemRecord& record) {
    if (record.skipped) return "skipped";
    if (IsFailure(record.result)) return "failed";
    if (record.incomplete) return "incomplete";
    return record.unverified ? "unverified" : "ok";
}

void CRecoverProgress::SetConflictPolicy(ConflictPolicy policy) {
    std::lock_guard<std::mutex> g(m_lock);
    m_conflictPolicy = policy;
}

void CRecoverProgress::MarkSkipped() {
    if (!m_open.empty()) m_open.back().skipped = true;
}

void CRecoverProgress::MarkFailed(const std::string& reason) {
    if (!m_open.empty()) m_open.back().failure = reason;
}

std::string CRecoverProgress::NextFreeName() { return FreeNumberedName(OutputRoot(), m_announcedPath); }

void CRecoverProgress::OnOutputAbandoned(const std::string& outputPath, const std::string& keptAs, int errorCode) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_open.empty()) return;
    OpenItem& item = m_open.back();
    if (!keptAs.empty()) {
        item.failure = (item.failure.empty() ? std::string(kStatusCancelled) : item.failure) +
                       "; what was written is kept as " + FileNameOf(keptAs);
        if (item.path == outputPath) item.path = keptAs;
    } else if (errorCode != 0) {
        item.failure = (item.failure.empty() ? std::string(kStatusWrite) : item.failure) +
                       "; what was written could not be kept: " + ErrnoText(errorCode);
    }
}

void CRecoverProgress::SetPolicies(int32_t fileOverwrite, int32_t folderMerge) {
    std::lock_guard<std::mutex> g(m_lock);
    m_fileOverwritePolicy = fileOverwrite;
    m_folderMergePolicy = folderMerge;
}

PromptAnswer CRecoverProgress::Ask(PromptKind kind, const std::string& message, const std::string& path,
                                   std::string* newPath) {
    std::string np;
    if (!m_prompts) {
        // Without a front end to ask, take the choice that never loses data.
        switch (kind) {
            case PromptKind::OverwriteFile:
            case PromptKind::MergeFolder:
            case PromptKind::CreateParents: return PromptAnswer::No;
            case PromptKind::Warning: return PromptAnswer::Skip;
            default: return PromptAnswer::Ignore;
        }
    }
    PromptAnswer a = m_prompts->Ask(kind, message, path, np);
    if (newPath) *newPath = np;
    return a;
}

RecoverResult CRecoverProgress::WarningPrompt(const std::string& message, const std::string& path) {
    if (m_ignoreAll) return RecoverResult::Skip;
    switch (Ask(PromptKind::Warning, message, path)) {
        case PromptAnswer::Cancel:
        case PromptAnswer::Abort: return RecoverResult::Stopped;
        case PromptAnswer::SkipAll: m_ignoreAll = 1; return RecoverResult::SkipAll;
        default: return RecoverResult::Skip;
    }
}

RecoverResult CRecoverProgress::AbortRetryIgnore(PromptKind kind, const std::string& message, const std::string& path) {
    switch (Ask(kind, message, path)) {
        case PromptAnswer::Abort:
        case PromptAnswer::Cancel: {
            std::lock_guard<std::mutex> g(m_lock);
            m_c.statusText = kStatusCancelled;
            return RecoverResult::Stopped;
        }
        case PromptAnswer::Retry: return RecoverResult::Ok;
        default: return RecoverResult::Skip;
    }
}

std::string CRecoverProgress::ConflictName(const std::string& path) {
    if (m_currentLostLetter) {
        // "?ILE.TXT" meets an earlier _ILE.TXT: the first free _ILE_1.TXT, _ILE_2.TXT, ...
        for (unsigned n = 1; n < 100000; ++n) {
            std::string candidate = UnderscoreNumberedName(path, n);
            if (!Exists(candidate)) return candidate;
        }
    }
    // Where items have record numbers, the number makes the name unique; elsewhere "(2)".
    if (m_traits.conflictById) return NumberedConflictName(path, static_cast<uint32_t>(m_currentId));
    return NumberedConflictName(path, 2);
}

std::string CRecoverProgress::RunConflictName(const std::string& path, unsigned n) const {
    if (m_currentLostLetter) return UnderscoreNumberedName(path, n);
    if (m_traits.conflictById && n == 1) return NumberedConflictName(path, static_cast<uint32_t>(m_currentId));
    return NumberedConflictName(path, n + 1);
}

RecoverResult CRecoverProgress::OnItemBegin(uint64_t id, std::string& outputPath, bool isFolder, bool isCarved) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (isFolder)
            ++m_c.foldersStarted;
        else
            ++m_c.filesStarted;
        m_startTotals.push_back(m_c.processedBytes);
    }
    // The folder part was chosen by the user or cleaned already; only the
    // item's own name is cleaned, by what the destination accepts.
    std::string folder;
    std::string name = FileNameOf(outputPath);
    if (name.size() < outputPath.size()) folder = outputPath.substr(0, outputPath.size() - name.size());
    m_currentId = id;
    m_currentLostLetter = !name.empty() && name[0] == '?' && !isCarved && m_traits.lostFirstLetter;
    const NameRules rules = m_root.IsOpen() ? m_root.Rules() : NameRules {};
    const std::string leaf = DestinationName(name, rules);
    std::string path = folder + leaf;
    if (!isFolder) {
        // Two items of this run that want one name: the later one takes the
        // job's next name now, so that the conflict policy meets only what
        // was there before the run, and a rerun gives each item its name again.
        const std::string wanted = path;
        for (unsigned n = 1; n < 100000 && !m_claimed.insert(std::hash<std::string> {}(path)).second; ++n)
            path = RunConflictName(wanted, n);
    }
    std::lock_guard<std::mutex> g(m_lock);
    m_itemSize = 0;
    m_c.statusText = kStatusRecovering;
    m_c.currentPath = path;
    m_announcedPath = path;
    m_currentIsCarved = isCarved;
    m_currentIncomplete = false;
    m_currentOverwritten = false;
    m_filesOfItem = 0;
    m_currentUnreadable.clear();
    OpenItem opened;
    opened.path = path;
    if (leaf != SanitizeName(std::string_view(name))) opened.original = name;
    m_open.push_back(std::move(opened));
    outputPath = path;
    return RecoverResult::Ok;
}

RecoverResult CRecoverProgress::OnItemSize(uint64_t, bool, bool, uint64_t size) {
    std::lock_guard<std::mutex> g(m_lock);
    m_itemSize = size;
    return RecoverResult::Ok;
}

RecoverResult CRecoverProgress::OnCreateFailed(std::string& outputPath, bool isFolder, int errorCode, bool& overwrite) {
    const std::string errorText = ErrnoText(errorCode);
    ConflictPolicy policy;
    {
        std::lock_guard<std::mutex> g(m_lock);
        policy = m_conflictPolicy;
    }
    auto renameTo = [&](const std::string& path) {
        outputPath = path;
        std::lock_guard<std::mutex> g(m_lock);
        if (!isFolder) m_c.currentPath = outputPath;
        if (!m_open.empty()) m_open.back().path = outputPath;
        return RecoverResult::Ok;
    };
    auto skip = [&] {
        std::lock_guard<std::mutex> g(m_lock);
        m_c.statusText = kStatusKept;
        MarkSkipped();
        return RecoverResult::Skip;
    };
    // The first free "name (n)": false when there is none other than the path itself.
    auto takeFreeName = [&] {
        const std::string next = NextFreeName();
        if (next.empty() || next == outputPath) return false;
        renameTo(next);
        return true;
    };
    if (!isFolder) {
        auto cannotCreate = [&]() -> RecoverResult {
            {
                std::lock_guard<std::mutex> g(m_lock);
                m_c.statusText = kStatusCreateFile;
                MarkFailed(std::string(kStatusCreateFile) + ": " + errorText);
            }
            if (m_ignoreAll) return RecoverResult::Skip;
            return AbortRetryIgnore(PromptKind::CreateFileFailed,
                                    "Cannot create the file " + outputPath + ": " + errorText, outputPath);
        };
        if (overwrite) return cannotCreate();
        if (errorCode != EEXIST) {
            // Not a name conflict (no permission, no space, ...): overwriting cannot help.
            LogWriteLevel(1, "Couldn't create new file (%s)\n", outputPath.c_str());
            LogError(1, errorCode);
            return cannotCreate();
        }
        switch (DecideConflict(policy, false, outputPath == m_announcedPath, m_currentIsCarved)) {
            case ConflictStep::Overwrite: overwrite = true; return RecoverResult::Ok;
            case ConflictStep::Keep: return skip();
            case ConflictStep::RuleName: return renameTo(ConflictName(outputPath));
            case ConflictStep::FreeName: return takeFreeName() ? RecoverResult::Ok : cannotCreate();
            case ConflictStep::Ask: break;
        }
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_c.statusText = kStatusCreateFile;
        }
        LogWriteLevel(1, "Couldn't create new file (%s)\n", outputPath.c_str());
        LogError(1, errorCode);
        if (m_fileOverwritePolicy == 2) return skip();
        if (m_fileOverwritePolicy == 1) {
            overwrite = true;
            return RecoverResult::Ok;
        }
        std::string newPath;
        PromptAnswer a = Ask(PromptKind::OverwriteFile, "The file " + outputPath + " already exists. Overwrite it?",
                             outputPath, &newPath);
        switch (a) {
            case PromptAnswer::YesToAll: m_fileOverwritePolicy = 1; [[fallthrough]];
            case PromptAnswer::Yes: overwrite = true; return RecoverResult::Ok;
            case PromptAnswer::NoToAll: m_fileOverwritePolicy = 2; return skip();
            case PromptAnswer::Rename:
                if (!newPath.empty() && newPath != outputPath) return renameTo(newPath);
                return skip();
            case PromptAnswer::Abort:
            case PromptAnswer::Cancel: return RecoverResult::Stopped;
            default: return skip();
        }
    }

    {
        std::lock_guard<std::mutex> g(m_lock);
        m_c.statusText = kStatusCreateFolder;
        if (errorCode != EEXIST) MarkFailed(std::string(kStatusCreateFolder) + ": " + errorText);
    }
    if (m_ignoreAll) return RecoverResult::Skip;
    if (errorCode == ENOENT) {
        PromptAnswer a = Ask(PromptKind::CreateParents,
                             "The folder " + outputPath + " cannot be created because its parent is missing. Create it?",
                             outputPath);
        if (a != PromptAnswer::Yes && a != PromptAnswer::YesToAll) {
            std::lock_guard<std::mutex> g(m_lock);
            m_c.statusText = kStatusFolderSkipped;
            return RecoverResult::Skip;
        }
        std::error_code ec;
        std::filesystem::path parent = std::filesystem::path(outputPath).parent_path();
        std::filesystem::create_directories(parent, ec);
        if (!ec) return RecoverResult::Ok;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_c.statusText = kStatusFolderSkipped;
            MarkFailed(std::string(kStatusCreateFolder) + ": " + ec.message());
        }
        return WarningPrompt("The parent folders of " + outputPath + " cannot be created.", outputPath);
    }
    if (errorCode == EEXIST) {
        if (overwrite) return RecoverResult::Ok;
        switch (DecideConflict(policy, true, outputPath == m_announcedPath, m_currentIsCarved)) {
            case ConflictStep::Overwrite: overwrite = true; return RecoverResult::Ok;
            case ConflictStep::Keep: return skip();
            case ConflictStep::RuleName: return renameTo(ConflictName(outputPath));
            case ConflictStep::FreeName:
                if (takeFreeName()) return RecoverResult::Ok;
                break;
            case ConflictStep::Ask: break;
        }
        if (m_folderMergePolicy == 2) return RecoverResult::Kept;
        if (m_folderMergePolicy == 1) {
            overwrite = true;
            return RecoverResult::Ok;
        }
        std::string unused;
        PromptAnswer a = Ask(PromptKind::MergeFolder,
                             "The folder " + outputPath + " already exists. Recover into it?", outputPath, &unused);
        switch (a) {
            case PromptAnswer::YesToAll: m_folderMergePolicy = 1; [[fallthrough]];
            case PromptAnswer::Yes: overwrite = true; return RecoverResult::Ok;
            case PromptAnswer::NoToAll: m_folderMergePolicy = 2; return skip();
            case PromptAnswer::Abort:
            case PromptAnswer::Cancel: return RecoverResult::Stopped;
            default: return skip();
        }
    }
    return AbortRetryIgnore(PromptKind::CreateFolderFailed,
                            "Cannot create the folder " + outputPath + ": " + errorText, outputPath);
}

RecoverResult CRecoverProgress::OnFileBegin(const std::string& outputPath, uint64_t size) {
    std::lock_guard<std::mutex> g(m_lock);
    ++m_filesOfItem;
    m_fileSize = size;
    m_fileWritten = 0;
    m_c.currentPath = outputPath;
    m_fileStart = std::chrono::steady_clock::now();
    m_inFile = true;
    return RecoverResult::Ok;
}

WalkResult CRecoverProgress::OnProgress(uint32_t chunkBytes, uint64_t bytesSoFar) {
    std::lock_guard<std::mutex> g(m_lock);
    if (m_inFile && bytesSoFar > m_fileSize) {
        // The backstop for any bound a parser missed: a file never grows past
        // the size its copy announced; the item stops as corrupt.
        LogWriteLevel(1, "%s: the source delivers more than the %llu bytes announced; the item is corrupt\n",
                      m_c.currentPath.c_str(), static_cast<unsigned long long>(m_fileSize));
        m_c.statusText = kStatusOverrun;
        MarkFailed(kStatusOverrun);
        return WalkResult::Error;
    }
    m_c.processedBytes += chunkBytes;
    m_fileWritten = bytesSoFar;
    m_c.filePercent = m_fileSize ? static_cast<int32_t>(std::min<uint64_t>(100, bytesSoFar * 100 / m_fileSize)) : 100;
    m_c.totalPercent = m_c.totalSize ? static_cast<int32_t>(std::min<uint64_t>(100, m_c.processedBytes * 100 / m_c.totalSize))
                                     : 100;
    return WalkResult::Continue;
}

RecoverResult CRecoverProgress::OnWriteFailed(const std::string& outputPath, int errorCode) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_c.statusText = kStatusWrite;
        MarkFailed(std::string(kStatusWrite) + ": " + ErrnoText(errorCode));
    }
    if (m_ignoreAll) return RecoverResult::Skip;
    return AbortRetryIgnore(PromptKind::WriteFailed,
                            "Cannot write to " + outputPath + ": " + ErrnoText(errorCode), outputPath);
}

void CRecoverProgress::OnUnreadable(const std::string&, uint64_t offset, uint64_t length) {
    std::lock_guard<std::mutex> g(m_lock);
    // The data's ranges; a named stream's only make the file incomplete.
    if (m_filesOfItem != 1) return;
    if (!m_currentUnreadable.empty() && m_currentUnreadable.back().offset + m_currentUnreadable.back().length == offset)
        m_currentUnreadable.back().length += length;
    else if (m_currentUnreadable.size() < RecoverItemRecord::kMaxUnreadableRanges)
        m_currentUnreadable.push_back({offset, length});
}

void CRecoverProgress::OnOverwritten(const std::string&) {
    std::lock_guard<std::mutex> g(m_lock);
    m_currentOverwritten = true;
}

RecoverResult CRecoverProgress::OnFileEnd(const std::string& outputPath, bool complete) {
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_inFile) {
            m_earlierFilesTime += std::chrono::duration<double>(std::chrono::steady_clock::now() - m_fileStart).count();
            m_inFile = false;
        }
        m_c.elapsed = m_earlierFilesTime;
    }
    if (complete) return RecoverResult::Ok;
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_c.statusText = m_currentOverwritten ? kStatusOverwritten : kStatusIncomplete;
        m_currentIncomplete = true;
    }
    if (m_ignoreAll) return RecoverResult::Ok;
    std::string message = "Part of the data of ";
    message += outputPath;
    message += m_currentOverwritten ? " was overwritten by other files" : " could not be read";
    message += "; the file is incomplete.";
    RecoverResult answer = WarningPrompt(message, outputPath);
    if (answer == RecoverResult::Stopped) {
        std::lock_guard<std::mutex> g(m_lock);
        m_c.statusText = kStatusCancelled;
        return RecoverResult::Stopped;
    }
    return RecoverResult::Ok;
}

RecoverResult CRecoverProgress::OnProblem(ItemProblem problem) {
    std::string path, message;
    {
        std::lock_guard<std::mutex> g(m_lock);
        path = m_c.currentPath;
        switch (problem) {
            case ItemProblem::CannotRead:
                m_c.statusText = kStatusCannotRead;
                message = "The item " + path + " cannot be read from the source volume.";
                break;
            case ItemProblem::NoFileName:
                m_c.statusText = kStatusNoName;
                message = "The record of " + path + " has no file name.";
                break;
            case ItemProblem::NameOnly:
                // Nothing to ask: there never was data to write. Counted apart.
                m_c.statusText = kStatusNameOnly;
                if (!m_open.empty()) m_open.back().nameOnly = true;
                return RecoverResult::Skip;
            case ItemProblem::NoData:
                m_c.statusText = kStatusNoData;
                message = "The file " + FileNameOf(path) + " has no data, or one of its streams cannot be created.";
                break;
            case ItemProblem::EncryptionData:
                m_c.statusText = kStatusEfsInconsistent;
                message = "The encryption data of " + path + " is inconsistent.";
                break;
            case ItemProblem::EncryptedImport:
                m_c.statusText = kStatusEfsImport;
                message = "Writing the encrypted file " + path + " failed.";
                break;
        }
    }
    return WarningPrompt(message, path);
}

RecoverResult CRecoverProgress::OnItemEnd(uint64_t id, const std::string& outputPath, bool isFolder, bool isCarved,
                                    RecoverResult result) {
    if (result == RecoverResult::SourceGone) {
        // Begun, but nothing of it was written: counted as not attempted, with no record.
        std::lock_guard<std::mutex> g(m_lock);
        --(isFolder ? m_c.foldersStarted : m_c.filesStarted);
        ++m_c.notAttempted;
        if (!m_startTotals.empty()) m_startTotals.pop_back();
        if (!m_open.empty()) m_open.pop_back();
        m_currentUnreadable.clear();
        return result;
    }
    uint64_t folderSize = 0;
    bool needFolderSize = isFolder && IsFailure(result) && !isCarved && m_volume;
    if (needFolderSize) {
        // Jump the overall progress over what the failed folder would have written.
        m_volume->GetFolderSize(static_cast<uint32_t>(id), folderSize, nullptr, 0);
    }
    // A file written whole from a guessed layout: what its bytes say.
    const char* unverified = nullptr;
    const char* note = nullptr;
    // The file as written, when it was written whole.
    auto writtenWhole = [&]() -> std::string {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_currentIncomplete) return {};
        return m_open.empty() ? outputPath : m_open.back().path;
    };
    if (!isFolder && isCarved && IsSuccess(result) && m_volume && m_contentCheck) {
        // A carve's clusters are as guessed as a deleted FAT file's: its
        // framing is the recogniser's, but foreign clusters inside it show
        // in its checksums, its coding or its picture.
        const std::string written = writtenWhole();
        if (!written.empty() && m_contentCheck(written, m_volume->ClusterSize()) == ContentVerdict::Failed)
            unverified = kStatusContentFailed;
    }
    if (!isFolder && !isCarved && IsSuccess(result) && m_volume && id <= UINT32_MAX) {
        const std::string written = writtenWhole();
        const DataLayout layout = written.empty() ? DataLayout::Recorded : m_volume->DataLayoutOf(static_cast<uint32_t>(id));
        if (layout != DataLayout::Recorded) {
            const ContentVerdict verdict =
                m_contentCheck ? m_contentCheck(written, m_volume->ClusterSize()) : ContentVerdict::NoCheck;
            if (verdict == ContentVerdict::Failed)
                unverified = kStatusContentFailed;
            else if (verdict == ContentVerdict::Passed)
                note = kNoteContentPassed;
            else if (layout == DataLayout::Contradicted)
                unverified = kStatusRunsIntoOther;
            else
                note = kNoteContiguity;
        }
    }
    std::unique_lock<std::mutex> g(m_lock);
    if (IsSuccess(result)) {
        if (isFolder)
            ++m_c.foldersDone;
        else
            ++m_c.filesDone;
    } else if (isFolder) {
        m_c.statusText = kStatusFolderFailed;
    }
    uint64_t start = 0;
    // Items nest (a folder's children begin and end inside it), so the start
    // total to take is the latest one pushed.
    if (!m_startTotals.empty()) {
        start = m_startTotals.back();
        m_startTotals.pop_back();
    }
    uint64_t itemBytes = m_c.processedBytes - start;
    if (!isFolder) {
        if (IsFailure(result))
            m_c.processedBytes = start + m_itemSize;
        else
            m_c.recoveredBytes += m_c.processedBytes - start;
    } else if (IsFailure(result)) {
        m_c.processedBytes = start + folderSize;
    }
    // A folder's bytes were counted by its files already.
    if (result == RecoverResult::Stopped && !isFolder) m_c.statusText = kStatusCancelled;
    if (result == RecoverResult::SkipAll) m_ignoreAll = 1;

    OpenItem item {outputPath};
    if (!m_open.empty()) {
        item = std::move(m_open.back());
        m_open.pop_back();
    }
    // Kept on purpose (a conflict answer, or an existing folder left as it
    // was); any other failure result is one, whatever answer led to it.
    const bool nameOnly = item.nameOnly && result == RecoverResult::Skip;
    const bool skipped = result == RecoverResult::Kept || (item.skipped && result == RecoverResult::Skip) || nameOnly;
    if (nameOnly) {
        // Not a file begun: there never was data to write.
        ++m_c.namesOnly;
        if (!isFolder) --m_c.filesStarted;
        item.failure = kStatusNameOnly;
    } else if (skipped) {
        ++m_c.skipped;
        if (item.failure.empty()) item.failure = kStatusKept;
    } else if (IsFailure(result)) {
        ++m_c.failed;
    }
    if (m_currentIncomplete && IsSuccess(result)) ++m_c.incomplete;
    if (unverified) ++m_c.unverified;

    RecoverItemRecord rec;
    rec.id = id;
    rec.path = item.path;
    rec.isFolder = isFolder;
    rec.isCarved = isCarved;
    rec.result = result;
    rec.incomplete = m_currentIncomplete;
    rec.bytes = itemBytes;
    rec.skipped = skipped;
    rec.nameOnly = nameOnly;
    if (skipped || (IsFailure(result) && !item.failure.empty()))
        rec.status = item.failure;
    else if (IsFailure(result) || m_currentIncomplete)
        rec.status = m_c.statusText;
    rec.unverified = unverified != nullptr;
    if (unverified) rec.status = unverified;
    if (note) rec.note = note;
    rec.originalName = item.original;
    if (!isFolder) rec.unreadable = std::move(m_currentUnreadable);
    m_currentUnreadable.clear();
    m_c.totalPercent = m_c.totalSize ? static_cast<int32_t>(std::min<uint64_t>(100, m_c.processedBytes * 100 / m_c.totalSize))
                                     : 100;
    // A deliberate skip does not fail the folder around it.
    const RecoverResult answer = skipped && result == RecoverResult::Skip ? RecoverResult::Kept : result;
    if (!m_recordSink) {
        m_records.push_back(std::move(rec));
        return answer;
    }
    g.unlock();
    m_recordSink->OnJobEvent(rec);
    return answer;
}

void CRecoverProgress::OnNotAttempted() {
    std::lock_guard<std::mutex> g(m_lock);
    ++m_c.notAttempted;
}

RecoverCounters CRecoverProgress::Snapshot() {
    std::lock_guard<std::mutex> g(m_lock);
    RecoverCounters c = m_c;
    if (m_inFile) c.elapsed = m_earlierFilesTime + std::chrono::duration<double>(std::chrono::steady_clock::now() - m_fileStart).count();
    if (c.totalSize == 0) c.totalPercent = 100;
    return c;
}

std::vector<RecoverItemRecord> CRecoverProgress::TakeRecords() {
    std::lock_guard<std::mutex> g(m_lock);
    std::vector<RecoverItemRecord> out;
    out.swap(m_records);
    return out;
}

double CRecoverProgress::RemainingSeconds() {
    RecoverCounters c = Snapshot();
    if (c.processedBytes == 0 || c.elapsed <= 0) return c.processedBytes == 0 ? 0 : -1;
    if (c.totalSize <= c.processedBytes) return 0;
    double remaining = c.elapsed * static_cast<double>(c.totalSize - c.processedBytes) / static_cast<double>(c.processedBytes);
    return remaining > 4096 ? -1 : remaining;
}
