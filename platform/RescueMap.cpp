#include "platform/RescueMap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

bool BlockState(char c) {
    return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}

bool PhaseState(char c) {
    return BlockState(c) || c == 'F' || c == 'G';
}

// One unsigned C integer (decimal, 0x hex or 0 octal) at the front of text,
// which loses it and the blanks before it. False when there is none or it
// overflows.
bool TakeNumber(std::string_view& text, uint64_t& value) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    unsigned base = 10;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() >= 2 && text[0] == '0') {
        base = 8;
    }
    size_t used = 0;
    value = 0;
    for (; used < text.size(); ++used) {
        const char c = text[used];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else break;
        if (digit >= base) break;
        if (value > (UINT64_MAX - digit) / base) return false;
        value = value * base + digit;
    }
    if (used == 0) return false;
    text.remove_prefix(used);
    return true;
}

// The next blank-separated word of text, which loses it.
std::string_view TakeWord(std::string_view& text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    size_t n = 0;
    while (n < text.size() && text[n] != ' ' && text[n] != '\t') ++n;
    const std::string_view word = text.substr(0, n);
    text.remove_prefix(n);
    return word;
}

bool OnlyBlanks(std::string_view text) {
    for (char c : text)
        if (c != ' ' && c != '\t') return false;
    return true;
}

}  // namespace

CRescueMap::CRescueMap(uint64_t size) : m_size(size) {
    if (m_size > 0) m_blocks.emplace(0, Span {m_size, RescueState::Untried});
}

std::map<uint64_t, CRescueMap::Span>::iterator CRescueMap::SplitAt(uint64_t offset) {
    if (offset >= m_size) return m_blocks.end();
    auto it = std::prev(m_blocks.upper_bound(offset));
    if (it->first == offset) return it;
    const Span whole = it->second;
    it->second.length = offset - it->first;
    return m_blocks.emplace_hint(std::next(it), offset, Span {it->first + whole.length - offset, whole.state});
}

void CRescueMap::MergeAround(std::map<uint64_t, Span>::iterator it) {
    if (it != m_blocks.begin()) {
        auto before = std::prev(it);
        if (before->second.state == it->second.state) {
            before->second.length += it->second.length;
            m_blocks.erase(it);
            it = before;
        }
    }
    auto after = std::next(it);
    if (after != m_blocks.end() && after->second.state == it->second.state) {
        it->second.length += after->second.length;
        m_blocks.erase(after);
    }
}

void CRescueMap::Set(uint64_t offset, uint64_t length, RescueState state) {
    if (offset >= m_size || length == 0) return;
    const uint64_t end = offset + std::min(length, m_size - offset);
    auto first = SplitAt(offset);
    auto last = SplitAt(end);
    m_blocks.erase(first, last);
    MergeAround(m_blocks.emplace(offset, Span {end - offset, state}).first);
}

std::vector<RescueBlock> CRescueMap::Blocks() const {
    std::vector<RescueBlock> out;
    out.reserve(m_blocks.size());
    for (const auto& [offset, span] : m_blocks) out.push_back({offset, span.length, span.state});
    return out;
}

RescueBlock CRescueMap::Next(uint64_t offset, RescueState state) const {
    if (offset >= m_size) return {m_size, 0, state};
    for (auto it = std::prev(m_blocks.upper_bound(offset)); it != m_blocks.end(); ++it) {
        if (it->second.state != state) continue;
        const uint64_t from = std::max(offset, it->first);
        return {from, it->first + it->second.length - from, state};
    }
    return {m_size, 0, state};
}

RescueState CRescueMap::At(uint64_t offset) const {
    if (offset >= m_size) return RescueState::Untried;
    return std::prev(m_blocks.upper_bound(offset))->second.state;
}

uint64_t CRescueMap::Bytes(RescueState state) const {
    uint64_t n = 0;
    for (const auto& [offset, span] : m_blocks)
        if (span.state == state) n += span.length;
    return n;
}

std::vector<ByteRange> CRescueMap::NotRescued() const {
    std::vector<ByteRange> out;
    for (const auto& [offset, span] : m_blocks) {
        if (span.state == RescueState::Rescued) continue;
        if (!out.empty() && out.back().offset + out.back().length == offset) out.back().length += span.length;
        else out.push_back({offset, span.length});
    }
    return out;
}

bool CRescueMap::Parse(std::string_view text, std::string& error) {
    m_blocks.clear();
    if (m_size > 0) m_blocks.emplace(0, Span {m_size, RescueState::Untried});
    position = {};
    m_textEnd = 0;
    bool haveStatus = false;
    uint64_t lastEnd = 0;
    size_t blocks = 0;
    size_t lineNo = 0;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string_view rest = line;
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
        if (rest.empty() || rest.front() == '#') continue;
        const std::string where = "line " + std::to_string(lineNo);
        uint64_t pos = 0;
        if (!TakeNumber(rest, pos)) {
            error = where + ": a position was expected";
            return false;
        }
        if (!haveStatus) {
            const std::string_view status = TakeWord(rest);
            if (status.size() != 1 || !PhaseState(status[0])) {
                error = where + ": the status line has no valid status";
                return false;
            }
            uint64_t pass = 1;
            if (!OnlyBlanks(rest) && (!TakeNumber(rest, pass) || pass < 1 || pass > 5 || !OnlyBlanks(rest))) {
                error = where + ": the status line's pass is not 1 to 5";
                return false;
            }
            position = {pos, status[0], static_cast<int>(pass)};
            haveStatus = true;
            continue;
        }
        uint64_t size = 0;
        if (!TakeNumber(rest, size)) {
            error = where + ": a block size was expected";
            return false;
        }
        const std::string_view status = TakeWord(rest);
        if (status.size() != 1 || !BlockState(status[0]) || !OnlyBlanks(rest)) {
            error = where + ": the block has no valid status";
            return false;
        }
        if (size > UINT64_MAX - pos) {
            error = where + ": the block ends past the largest offset";
            return false;
        }
        if (pos < lastEnd) {
            error = where + ": the block overlaps the one before it or is out of order";
            return false;
        }
        if (++blocks > kMaxBlocks) {
            error = "the map has more than " + std::to_string(kMaxBlocks) + " blocks";
            return false;
        }
        lastEnd = pos + size;
        m_textEnd = lastEnd;
        Set(pos, size, static_cast<RescueState>(status[0]));
    }
    if (!haveStatus) {
        error = "it holds no status line: not a rescue map";
        return false;
    }
    return true;
}

bool CRescueMap::Load(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "Cannot read the map " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok) error = "The map " + path + " is not a regular file";
    if (ok && static_cast<uint64_t>(st.st_size) > kMaxTextBytes) {
        error = "The map " + path + " is too large to be a rescue map";
        ok = false;
    }
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "Cannot read the map " + path + ": " + std::strerror(errno);
            ok = false;
        } else if (n == 0) {
            break;
        } else if (text.size() + static_cast<size_t>(n) > kMaxTextBytes) {
            error = "The map " + path + " is too large to be a rescue map";
            ok = false;
        } else {
            text.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (ok && !Parse(text, error)) {
        error = "The map " + path + " is not a rescue map (" + error + ")";
        ok = false;
    }
    return ok;
}

std::string CRescueMap::Format(const std::vector<std::string>& comments) const {
    std::string out;
    for (const std::string& c : comments) out += "# " + c + "\n";
    char line[128];
    out += "# current_pos  current_status  current_pass\n";
    std::snprintf(line, sizeof line, "0x%08llX     %c               %d\n",
                  static_cast<unsigned long long>(position.offset), position.phase, position.pass);
    out += line;
    out += "#      pos        size  status\n";
    for (const auto& [offset, span] : m_blocks) {
        std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(offset),
                      static_cast<unsigned long long>(span.length), static_cast<char>(span.state));
        out += line;
    }
    return out;
}

std::string MapFileBeside(const std::string& imagePath) {
    for (const char* suffix : {".map", ".mapfile"}) {
        struct stat st {};
        const std::string candidate = imagePath + suffix;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return candidate;
    }
    return "";
}
