// The raw volume reader: a source that holds no NTFS or FAT file system (a
// reformatted or damaged memory card, a raw dump) scanned as a row of units
// of N bytes from byte 0 (default 4,096). Unit k is "cluster" k of ReadRaw,
// so the surface scan's hits are recovered with RecoverClusters like those of
// any volume. Every unit is a scan candidate: nothing marks any of them used.
//
// A raw source has no directory structures, so it has no index: the index,
// search, browse and file-recovery slots answer "nothing there" (false, null
// enumerators, "cannot read" for ids that cannot exist). The last unit may be
// shorter than N bytes when the source length is not a multiple of N: a read
// that runs past the end of the source delivers the bytes up to the end and
// reports the short count (providers take that as a failed read; the raw
// copy of RecoverClusters writes what there is), and one that starts past
// the end fails.
//
// Threads: as CVolume (ReadRaw serialised by the cache lock).
#pragma once

#include <cstdint>
#include <string>

#include "engine/volume/ClusterCursor.h"
#include "engine/volume/Volume.h"

class CRawVolume : public CVolume {
public:
    static constexpr uint32_t kDefaultUnit = 4096;
    // A unit is a power of two from 512 bytes to 1 MiB.
    static bool IsValidUnit(uint32_t unit);

    explicit CRawVolume(uint32_t unit = kDefaultUnit);

    // Opens any readable, non-empty source. Fails for an invalid unit.
    bool Initialize(const std::string& devicePath) override;
    void DumpVolume() override;
    int GetPartitionType() override { return 0; }
    bool ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length) override;

    bool BuildIndex(IndexProgress* /*progress*/) override { return false; }
    void ClearIndex() override {}
    bool DumpIndexToCache(IndexProgress*) override { return false; }
    bool RestoreIndexFromCache(IndexProgress*) override { return false; }
    void SearchFiles(SearchCriteria*) override {}
    bool GetFullPath(uint32_t, std::u16string& path, bool& broken, uint32_t& lastId) override;
    bool OpenFile(uint32_t, std::unique_ptr<IGenericFile>& file) override;
    bool OpenFileByPath(const std::u16string&, std::unique_ptr<IGenericFile>& file) override;
    bool EnumDeletedFiles(int32_t, std::unique_ptr<IEnumDeletedFiles>& enumerator) override;
    bool EnumDeletedFilesByPath(const std::u16string&, std::unique_ptr<IEnumDeletedFiles>& enumerator) override;
    bool HasLostFolders() override { return false; }
    bool HasDeletedFilesByPath(const std::u16string&) override { return false; }
    bool CountDeletedFilesByPath(const std::u16string&, uint32_t& folders, uint32_t& files) override;
    bool GetFileInfo(uint32_t, bool, FileItemInfo&) override { return false; }
    bool GetIndexEntry(uint32_t, std::u16string&, uint32_t&) override { return false; }
    bool IsLostFolder(uint32_t) override { return false; }
    bool GetParentFolder(uint32_t, int32_t&) override { return false; }
    std::unique_ptr<IClusterCursor> CreateClusterCursor() override;
    bool GetFolderSize(uint32_t, uint64_t&, const StopFlag*, int) override { return false; }
    void OpenFileContent(uint32_t, bool, FileContent& out, const StopFlag*) override {
        out.problem = ItemProblem::CannotRead;
    }
    void ReadFolderContent(uint32_t, bool, FolderContent& out) override { out.problem = ItemProblem::CannotRead; }
    std::u16string GetRecycleBinPath() override { return {}; }

    uint32_t Unit() const { return m_unit; }
    // Units of the source, the last one possibly partial.
    uint64_t UnitCount() const;
    const std::string& InitError() const override { return m_initError; }

private:
    uint32_t m_unit;
    uint64_t m_length = 0;
    std::string m_initError;
};

// Units 0 .. UnitCount() - 1, every one free.
class CRawUnitCursor : public IClusterCursor {
public:
    explicit CRawUnitCursor(const CRawVolume& volume) : m_volume(volume) {}
    bool Rewind() override {
        m_next = 0;
        return true;
    }
    bool Next(uint64_t& cluster, bool& isFree) override {
        if (m_next >= m_volume.UnitCount()) return false;
        cluster = m_next++;
        isFree = true;
        return true;
    }
    uint64_t Total() const override { return m_volume.UnitCount(); }

private:
    const CRawVolume& m_volume;
    uint64_t m_next = 0;
};
