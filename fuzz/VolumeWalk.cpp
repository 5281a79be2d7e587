#include "VolumeWalk.h"

#include <memory>
#include <string>
#include <vector>

namespace {

// Bounds that keep one input fast whatever the volume claims.
constexpr int kMaxDepth = 12;
constexpr int kMaxItems = 400;
constexpr uint32_t kReadBytes = 8192;

struct Walker {
    CVolume& volume;
    int items = 0;

    void Item(const FileItemInfo& info) {
        FileItemInfo full;
        volume.GetFileInfo(info.id, true, full);
        std::u16string path;
        bool broken = false;
        uint32_t lastId = 0;
        volume.GetFullPath(info.id, path, broken, lastId);
        int32_t parent = 0;
        volume.GetParentFolder(info.id, parent);
        if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) return;
        std::unique_ptr<IGenericFile> file;
        if (!volume.OpenFile(info.id, file) || !file) return;
        std::vector<uint8_t> buffer(kReadBytes);
        uint32_t got = 0;
        file->Read(buffer.data(), kReadBytes, got);
        file->IsEof();
    }

    void Deleted(IEnumDeletedFiles& e, int depth) {
        FileItemInfo info;
        std::vector<uint32_t> folders;
        while (items < kMaxItems && e.Next(info, false)) {
            ++items;
            Item(info);
            if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) folders.push_back(info.id);
        }
        for (uint32_t id : folders) DeletedFolder(static_cast<int32_t>(id), depth + 1);
    }

    void DeletedFolder(int32_t id, int depth) {
        std::unique_ptr<IEnumDeletedFiles> e;
        if (depth > kMaxDepth || items >= kMaxItems || !volume.EnumDeletedFiles(id, e) || !e) return;
        uint32_t folders = 0, files = 0;
        volume.CountDeletedFiles(id, folders, files);
        Deleted(*e, depth);
    }

    void Live(const std::u16string& path, int depth) {
        if (depth > kMaxDepth || items >= kMaxItems) return;
        std::unique_ptr<IEnumDeletedFiles> e;
        if (volume.EnumDeletedFilesByPath(path, e) && e) Deleted(*e, depth);
        uint32_t folders = 0, files = 0;
        volume.CountDeletedFilesByPath(path, folders, files);
        volume.HasDeletedFilesByPath(path);
        std::vector<FileItemInfo> live;
        if (!volume.ListLiveFolder(path, live)) return;
        for (const FileItemInfo& item : live) {
            if (++items >= kMaxItems) return;
            if ((item.attributes & FILE_ATTRIBUTE_DIRECTORY) && !item.name.empty() && item.name != u"." &&
                item.name != u"..")
                Live(path + item.name + u"\\", depth + 1);
        }
    }
};

}  // namespace

void WalkVolume(CVolume& volume) {
    Walker w {volume};
    w.Live(u"\\", 0);
    if (volume.HasLostFolders()) w.DeletedFolder(kLostFoldersId, 0);
    w.DeletedFolder(kRecycleBinId, 0);
    std::unique_ptr<IEnumExistingFiles> existing;
    if (volume.EnumExistingFiles(existing) && existing) {
        FileItemInfo info;
        for (int n = 0; n < kMaxItems && existing->Next(info); ++n) {
        }
    }
}
