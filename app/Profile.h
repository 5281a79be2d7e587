// The settings profile: one XML file (Profile.xml in the settings folder)
// holding sections of named keys, each key one text value. Integers, strings
// and binary blobs (Base64) are stored as text. Writes change the in-memory
// document; Save rewrites the file.
//
// One process-wide instance. Any thread may read; a read can create and
// remove elements, so every operation takes the profile's lock.
#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

class CXMLProfile {
public:
    class CXMLProfileException : public std::exception {
    public:
        explicit CXMLProfileException(const char* message);
        const char* what() const noexcept override { return m_message; }

    private:
        char m_message[255];
    };

    static constexpr size_t kMaxBinaryText = 512;          // encoded Base64 text
    static constexpr uintmax_t kMaxFileSize = 16u << 20;   // larger profiles are not loaded

    static CXMLProfile& Instance();
    CXMLProfile();
    ~CXMLProfile();
    CXMLProfile(const CXMLProfile&) = delete;
    CXMLProfile& operator=(const CXMLProfile&) = delete;

    void SetPath(const std::string& path);
    const std::string& Path() const { return m_path; }
    // Loads the file; a missing, empty, unparsable or oversized file gives an
    // empty profile. False when a document is already loaded.
    bool Load();
    // Drops the document (tests, and reloading after the path changed).
    void Unload();
    bool Save();

    bool WriteInt(const char* section, const char* key, int32_t value);
    bool WriteString(const char* section, const char* key, const std::string& text);
    // False (nothing written) when the Base64 text would exceed 512 characters.
    bool WriteBinary(const char* section, const char* key, const void* bytes, size_t length);

    int32_t ReadInt(const char* section, const char* key, int32_t defaultValue);
    // Throws CXMLProfileException("Buffer overflow") when the stored text has
    // bufferSize characters or more.
    std::string ReadString(const char* section, const char* key, const std::string& defaultValue, size_t bufferSize);
    // True when a value was present and its decoded bytes fit the buffer.
    bool ReadBinary(const char* section, const char* key, void* buffer, size_t bufferSize, size_t* decodedLength = nullptr);

    // Convenience for the 64-bit counters kept as 8 little-endian bytes.
    uint64_t ReadUInt64(const char* section, const char* key);
    bool WriteUInt64(const char* section, const char* key, uint64_t value);

private:
    pugi::xml_node KeyNode(const char* section, const char* key);
    // Text of the key; empty text removes the key element (it reads as absent).
    bool KeyText(const char* section, const char* key, std::string& text);
    void EnsureDocument();

    std::recursive_mutex m_lock;
    pugi::xml_document* m_document = nullptr;
    std::string m_path;
};

// Base64 with a CR LF after every 76 output characters (none after the last line).
std::string Base64Encode(const void* data, size_t length);
// Decodes, skipping characters outside the alphabet.
std::string Base64Decode(const std::string& text);

// Parses like the C library's decimal conversion: leading blanks and a sign,
// digits up to the first non-digit, 0 when there are none; saturates at the
// 32-bit limits.
int32_t ParseProfileInt(const std::string& text);

// The settings the program reads, with their defaults.
namespace settings {
inline constexpr int32_t kLoggingTypeDefault = 1;
inline constexpr int32_t kLogSizeIsLimitedDefault = 1;
inline constexpr int32_t kMaxLogSizeDefault = 51;       // units of 102400 bytes
inline constexpr int32_t kCacheSaveToDiskDefault = 1;
inline constexpr int32_t kShowInExplorerOnCloseDefault = 1;
inline constexpr size_t kLastDestinationFoldersSize = 2048;
inline constexpr int32_t kOrderTypesByDefault = 1;
}  // namespace settings

// Path of Profile.xml in the settings folder.
std::string DefaultProfilePath();
