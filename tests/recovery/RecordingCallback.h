// A recovery callback for tests: records every event in order and answers
// from settable rules (by default: skip whatever fails, go on otherwise).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/recovery/RecoverEvents.h"

namespace recoverytest {

class RecordingCallback : public IRecoverEventCallback {
public:
    std::vector<std::string> events;  // "ItemBegin", "ItemSize", "FileBegin", ... in order
    std::vector<std::pair<uint32_t, uint64_t>> progress;
    std::vector<std::pair<uint64_t, bool>> itemBegins;  // (id, carved)
    std::vector<std::string> fileBegins;
    std::vector<uint64_t> fileBeginSizes;  // the size each announced
    std::vector<std::pair<std::string, bool>> fileEnds;
    std::vector<ItemProblem> codes;  // OnProblem reasons
    std::vector<std::pair<std::string, int>> createFailures;
    std::vector<std::pair<std::string, int>> writeFailures;
    std::vector<std::pair<std::string, std::string>> abandoned;  // (output, kept as)
    uint64_t itemSize = 0;

    // Answers; the defaults never overwrite and skip the item.
    std::function<RecoverResult(std::string& path, bool isFolder, int error, bool& overwrite)> onCreateFailed =
        [](std::string&, bool, int, bool&) { return RecoverResult::Skip; };
    std::function<RecoverResult(const std::string& path, int error)> onWriteFailed = [](const std::string&, int) {
        return RecoverResult::Skip;
    };
    std::function<WalkResult(uint32_t chunk, uint64_t soFar)> onProgress = [](uint32_t, uint64_t) {
        return WalkResult::Continue;
    };
    RecoverResult eventAnswer = RecoverResult::Skip;
    RecoverResult itemBeginAnswer = RecoverResult::Ok;

    RecoverResult OnItemBegin(uint64_t id, std::string&, bool, bool isCarved) override {
        events.push_back("ItemBegin");
        itemBegins.emplace_back(id, isCarved);
        return itemBeginAnswer;
    }
    RecoverResult OnItemSize(uint64_t, bool, bool, uint64_t size) override {
        events.push_back("ItemSize");
        itemSize = size;
        return RecoverResult::Ok;
    }
    RecoverResult OnItemEnd(uint64_t, const std::string&, bool, bool, RecoverResult result) override {
        events.push_back("ItemEnd");
        return result;
    }
    RecoverResult OnCreateFailed(std::string& path, bool isFolder, int error, bool& overwrite) override {
        events.push_back("CreateFailed");
        createFailures.emplace_back(path, error);
        return onCreateFailed(path, isFolder, error, overwrite);
    }
    RecoverResult OnFileBegin(const std::string& path, uint64_t size) override {
        events.push_back("FileBegin");
        fileBegins.push_back(path);
        fileBeginSizes.push_back(size);
        return RecoverResult::Ok;
    }
    WalkResult OnProgress(uint32_t chunk, uint64_t soFar) override {
        events.push_back("Progress");
        progress.emplace_back(chunk, soFar);
        return onProgress(chunk, soFar);
    }
    RecoverResult OnWriteFailed(const std::string& path, int error) override {
        events.push_back("WriteFailed");
        writeFailures.emplace_back(path, error);
        return onWriteFailed(path, error);
    }
    RecoverResult OnFileEnd(const std::string& path, bool complete) override {
        events.push_back("FileEnd");
        fileEnds.emplace_back(path, complete);
        return RecoverResult::Ok;
    }
    void OnOutputAbandoned(const std::string& path, const std::string& keptAs, int) override {
        abandoned.emplace_back(path, keptAs);
    }
    RecoverResult OnProblem(ItemProblem code) override {
        events.push_back("Event");
        codes.push_back(code);
        return eventAnswer;
    }
};

}  // namespace recoverytest
