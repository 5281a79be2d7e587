#include "RawVolume.h"

#include <algorithm>

#include "app/Log.h"
#include "platform/Status.h"

bool CRawVolume::IsValidUnit(uint32_t unit) { return unit >= 512 && unit <= (1u << 20) && (unit & (unit - 1)) == 0; }

CRawVolume::CRawVolume(uint32_t unit) : m_unit(unit) {}

bool CRawVolume::Initialize(const std::string& devicePath) {
    CScopeTrace trace(1, "CRawVolume::Initialize");
    m_initError.clear();
    if (!IsValidUnit(m_unit)) {
        m_initError = "invalid unit size " + std::to_string(m_unit) + " (a power of two from 512 to 1048576)";
        return false;
    }
    m_devicePath = devicePath;
    if (!OpenDevice()) {
        m_initError = "cannot open " + devicePath + ": " + ErrnoText(errno);
        return false;
    }
    m_length = DeviceLength();
    if (m_length == 0) {
        m_initError = "the source is empty";
        return false;
    }
    m_sectorSize = 512;
    m_clusterSize = m_unit;
    m_initialized = 1;
    return true;
}

uint64_t CRawVolume::UnitCount() const { return m_length / m_unit + (m_length % m_unit ? 1 : 0); }

void CRawVolume::DumpVolume() {
    LogWrite("VOLUME DUMP\n");
    LogWrite("  fs=raw path=%s unit=%u length=%llu units=%llu\n", m_devicePath.c_str(), m_unit,
             static_cast<unsigned long long>(m_length), static_cast<unsigned long long>(UnitCount()));
    LogWrite("END VOLUME DUMP\n");
}

bool CRawVolume::ReadRaw(uint64_t cluster, uint32_t offset, void* buffer, uint32_t& length) {
    if (m_unit == 0 || offset >= m_unit || cluster > UINT64_MAX / m_unit) return false;
    const uint64_t start = cluster * m_unit + offset;
    if (start < cluster * m_unit || UINT64_MAX - start < length) return false;
    const uint64_t end = start + length;
    const uint64_t whole = m_length - m_length % m_unit;  // bytes of the full units
    if (end <= whole) return CVolume::ReadRaw(cluster, offset, buffer, length);
    // The range reaches into the partial last unit: read it straight, up to
    // the end of the source (a short count, as a file read at its end).
    if (start >= m_length) return false;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(length, m_length - start));
    int64_t got = ReadDeviceAt(start, buffer, want);
    if (got != static_cast<int64_t>(want)) return false;
    length = want;
    return true;
}

bool CRawVolume::GetFullPath(uint32_t, std::u16string& path, bool& broken, uint32_t& lastId) {
    path.clear();
    broken = true;
    lastId = 0;
    return false;
}

bool CRawVolume::OpenFile(uint32_t, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    return false;
}

bool CRawVolume::OpenFileByPath(const std::u16string&, std::unique_ptr<IGenericFile>& file) {
    file.reset();
    return false;
}

bool CRawVolume::EnumDeletedFiles(int32_t, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    return true;
}

bool CRawVolume::EnumDeletedFilesByPath(const std::u16string&, std::unique_ptr<IEnumDeletedFiles>& enumerator) {
    enumerator.reset();
    return false;
}

bool CRawVolume::CountDeletedFilesByPath(const std::u16string&, uint32_t& folders, uint32_t& files) {
    folders = 0;
    files = 0;
    return false;
}

std::unique_ptr<IClusterCursor> CRawVolume::CreateClusterCursor() { return std::make_unique<CRawUnitCursor>(*this); }
