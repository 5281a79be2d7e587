#include "engine/formats/JpegScanCheck.h"

#include <algorithm>

namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The bytes of a decode one contiguous piece at a time, asked again only
// when an offset leaves the piece at hand.
class Reader {
public:
    explicit Reader(IJpegBytes& bytes) : m_bytes(bytes) {}
    bool At(uint64_t offset, uint8_t& b) {
        if (offset < m_base || offset - m_base >= m_n) {
            if (!m_bytes.Bytes(offset, m_data, m_n) || m_n == 0 || !m_data) {
                m_n = 0;
                return false;
            }
            m_base = offset;
        }
        b = m_data[offset - m_base];
        return true;
    }

private:
    IJpegBytes& m_bytes;
    const uint8_t* m_data = nullptr;
    uint64_t m_base = 0;
    size_t m_n = 0;
};

}  // namespace

bool CJpegScanCheck::ParseTables(const uint8_t* p, size_t length) {
    size_t at = 0;
    while (at < length) {
        if (length - at < 17) return false;
        const uint8_t tc = p[at] >> 4, th = p[at] & 15;
        if (tc > 1 || th > 3) return false;
        size_t total = 0;
        for (int i = 1; i <= 16; ++i) total += p[at + i];
        if (total == 0 || total > 256 || length - at - 17 < total) return false;
        Table& t = tc == 0 ? m_dc[th] : m_ac[th];
        t = Table {};
        int32_t code = 0, k = 0;
        for (int len = 1; len <= 16; ++len) {
            const int32_t count = p[at + len];
            t.valPtr[len] = k;
            t.minCode[len] = code;
            code += count;
            k += count;
            t.maxCode[len] = count ? code - 1 : -1;
            if (code > (1 << len)) return false;  // more codes than the length has
            code <<= 1;
        }
        for (size_t i = 0; i < total; ++i) t.values[i] = p[at + 17 + i];
        t.defined = true;
        at += 17 + total;
    }
    return true;
}

bool CJpegScanCheck::Parse(const uint8_t* d, size_t n) {
    m_dc = {};
    m_ac = {};
    m_blocksPerMcu = 0;
    m_mcuCount = 0;
    m_restartInterval = 0;
    m_entropyStart = 0;
    if (!d || n < 4 || d[0] != 0xFF || d[1] != 0xD8) return false;
    struct Component {
        uint8_t id = 0, h = 0, v = 0;
    };
    std::array<Component, 4> comps {};
    uint32_t nf = 0, width = 0, height = 0;
    bool frame = false;
    size_t pos = 2;
    // Every segment moves pos forward by at least four bytes, within n.
    while (pos + 4 <= n) {
        if (d[pos] != 0xFF) return false;
        if (d[pos + 1] == 0xFF) {  // a fill byte
            ++pos;
            continue;
        }
        const uint8_t m = d[pos + 1];
        if (m == 0x01 || m == 0xD8 || m == 0xD9 || (m >= 0xD0 && m <= 0xD7) || m == 0x00) return false;
        const size_t len = Be16(d + pos + 2);
        if (len < 2 || len > n - pos - 2) return false;
        const uint8_t* seg = d + pos + 4;
        const size_t sl = len - 2;
        pos += 2 + len;
        if (m == 0xC0 || m == 0xC1) {
            if (frame || sl < 6 || seg[0] != 8) return false;
            height = Be16(seg + 1);
            width = Be16(seg + 3);
            nf = seg[5];
            if (height == 0 || width == 0 || nf < 1 || nf > 4 || sl < 6 + 3 * size_t(nf)) return false;
            for (uint32_t i = 0; i < nf; ++i) {
                comps[i] = {seg[6 + 3 * i], static_cast<uint8_t>(seg[7 + 3 * i] >> 4),
                            static_cast<uint8_t>(seg[7 + 3 * i] & 15)};
                if (comps[i].h < 1 || comps[i].h > 4 || comps[i].v < 1 || comps[i].v > 4) return false;
            }
            frame = true;
        } else if (m >= 0xC2 && m <= 0xCF && m != 0xC4 && m != 0xCC) {
            return false;  // progressive, lossless, hierarchical or arithmetic-coded
        } else if (m == 0xC4) {
            if (!ParseTables(seg, sl)) return false;
        } else if (m == 0xDD) {
            if (sl < 2) return false;
            m_restartInterval = Be16(seg);
        } else if (m == 0xDA) {
            if (!frame || sl < 1) return false;
            const uint32_t ns = seg[0];
            if (ns != nf || sl < 1 + 2 * size_t(ns) + 3) return false;
            std::array<uint8_t, 4> dcOf {}, acOf {};
            for (uint32_t i = 0; i < ns; ++i) {
                const uint8_t td = seg[2 + 2 * i] >> 4, ta = seg[2 + 2 * i] & 15;
                if (seg[1 + 2 * i] != comps[i].id || td > 3 || ta > 3 || !m_dc[td].defined || !m_ac[ta].defined)
                    return false;
                dcOf[i] = td;
                acOf[i] = ta;
            }
            const uint8_t* tail = seg + 1 + 2 * ns;
            if (tail[0] != 0 || tail[1] != 63 || tail[2] != 0) return false;
            if (ns == 1) {
                // One component: its blocks one by one, whatever its sampling.
                m_blocksPerMcu = 1;
                m_blockDc[0] = dcOf[0];
                m_blockAc[0] = acOf[0];
                m_mcuCount = uint64_t((width + 7) / 8) * ((height + 7) / 8);
            } else {
                uint32_t hmax = 1, vmax = 1;
                for (uint32_t i = 0; i < nf; ++i) {
                    hmax = std::max<uint32_t>(hmax, comps[i].h);
                    vmax = std::max<uint32_t>(vmax, comps[i].v);
                }
                for (uint32_t i = 0; i < nf; ++i) {
                    for (uint32_t b = 0; b < uint32_t(comps[i].h) * comps[i].v; ++b) {
                        if (m_blocksPerMcu == m_blockDc.size()) return false;
                        m_blockDc[m_blocksPerMcu] = dcOf[i];
                        m_blockAc[m_blocksPerMcu] = acOf[i];
                        ++m_blocksPerMcu;
                    }
                }
                m_mcuCount = uint64_t((width + 8 * hmax - 1) / (8 * hmax)) * ((height + 8 * vmax - 1) / (8 * vmax));
            }
            m_entropyStart = pos;
            return true;
        }
        // Other segments (APPn, COM, DQT, DNL) are skipped by their length.
    }
    return false;
}

CJpegScanCheck::State CJpegScanCheck::Start() const {
    State s;
    s.pos = m_entropyStart;
    return s;
}

CJpegScanCheck::Result CJpegScanCheck::Run(State& s, IJpegBytes& bytes,
                                           const std::function<void(const State&)>& atBlock) const {
    Reader r(bytes);
    if (m_blocksPerMcu == 0) return {Outcome::Fault, s.pos};
    // One bit; false at a marker, the end of the bytes or a byte that cannot be read.
    auto bit = [&](int& out) {
        if (s.nbits == 0) {
            uint8_t b = 0, next = 0;
            if (!r.At(s.pos, b)) return false;
            if (b == 0xFF) {
                if (!r.At(s.pos + 1, next) || next != 0x00) return false;
                s.pos += 2;
            } else {
                s.pos += 1;
            }
            s.bits = b;
            s.nbits = 8;
        }
        --s.nbits;
        out = static_cast<int>((s.bits >> s.nbits) & 1);
        return true;
    };
    auto symbol = [&](const Table& t, int& value) {
        int32_t code = 0;
        for (int len = 1; len <= 16; ++len) {
            int b = 0;
            if (!bit(b)) return false;
            code = code << 1 | b;
            if (code >= t.minCode[len] && code <= t.maxCode[len]) {
                value = t.values[static_cast<size_t>(t.valPtr[len] + code - t.minCode[len])];
                return true;
            }
        }
        return false;  // no code of the table
    };
    auto skipBits = [&](int n) {
        int b = 0;
        for (int i = 0; i < n; ++i)
            if (!bit(b)) return false;
        return true;
    };
    // The padding before a marker (ones), then fill bytes and the marker.
    auto marker = [&](uint8_t want) {
        const uint32_t mask = (1u << s.nbits) - 1;
        if ((s.bits & mask) != mask) return false;
        s.nbits = 0;
        uint8_t b = 0;
        if (!r.At(s.pos, b) || b != 0xFF) return false;
        while (r.At(s.pos + 1, b) && b == 0xFF) ++s.pos;
        if (b != want) return false;
        s.pos += 2;
        return true;
    };
    while (true) {
        if (s.block == 0 && s.mcu == m_mcuCount) {
            if (!marker(0xD9)) return {Outcome::Fault, s.pos};
            return {Outcome::Ok, s.pos};
        }
        if (s.block == 0 && m_restartInterval != 0 && s.sinceRestart == m_restartInterval) {
            if (!marker(static_cast<uint8_t>(0xD0 + s.nextRestart))) return {Outcome::Fault, s.pos};
            s.nextRestart = (s.nextRestart + 1) & 7;
            s.sinceRestart = 0;
        }
        if (atBlock) atBlock(s);
        const Table& dc = m_dc[m_blockDc[s.block]];
        const Table& ac = m_ac[m_blockAc[s.block]];
        int t = 0;
        if (!symbol(dc, t) || t > 11 || !skipBits(t)) return {Outcome::Fault, s.pos};
        for (int k = 1; k < 64;) {
            int rs = 0;
            if (!symbol(ac, rs)) return {Outcome::Fault, s.pos};
            const int run = rs >> 4, size = rs & 15;
            if (size == 0) {
                if (run != 15) break;  // end of block
                k += 16;
                continue;
            }
            k += run;
            if (k > 63 || size > 10 || !skipBits(size)) return {Outcome::Fault, s.pos};
            ++k;
        }
        if (++s.block == m_blocksPerMcu) {
            s.block = 0;
            ++s.mcu;
            ++s.sinceRestart;
        }
    }
}
