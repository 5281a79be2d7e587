// ntfs-fixture: makes NTFS test images with real NTFS code (libntfs-3g).
//
//   ntfs-fixture IMAGE COMMAND ARGS...      one command
//   ntfs-fixture IMAGE -                    commands from stdin, one per line
//
// The image must already be formatted (mkntfs -F -f IMAGE). Paths are UTF-8
// with "/" separators; names may hold any Unicode character (non-BMP ones
// become surrogate pairs). Arguments may be double-quoted. Content comes from
// a pattern (FixturePattern.h: random:SEED, text:SEED, zero) so that tests
// can recompute it. Every created item is reported as "rec PATH" on stdout,
// with its MFT record number.
//
// Commands:
//   mkdir PATH                       create a folder (with parents)
//   write PATH PATTERN SIZE          create a file with SIZE bytes of PATTERN
//   text PATH "CONTENT"              create a file holding CONTENT
//   stream PATH:NAME PATTERN SIZE    add a named data stream to an existing file
//   compress-dir PATH                mark a folder compressed (new files in it are LZNT1-compressed)
//   sparse PATH PATTERN SIZE OFF:LEN[,OFF:LEN...]
//                                    a file of SIZE bytes with data only in the ranges (holes stay sparse)
//   fragment PATH PATTERN SIZE PIECE write the file into piece-sized holes of an otherwise
//                                    full volume: one run per piece (an attribute list when
//                                    there are many)
//   many DIR COUNT PREFIX            COUNT small files DIR/PREFIX00000.txt ..., content "PREFIXnnnnn\n"
//   link EXISTING NEWPATH            add a hard link
//   delete PATH                      delete a file or an empty folder
//   dosname PATH SHORT               give the file's name in its folder a DOS alias (8.3) SHORT
//                                    (the long name becomes a Win32 name); the file may have
//                                    no other name in that folder yet
//   free-record PATH                 delete a file as Windows deletes a folder tree: each of its
//                                    names leaves its folder's index, its clusters and its record
//                                    are freed, and the record keeps every $FILE_NAME
//   fill PATH                        a file of zeros that takes the free clusters (leaves the
//                                    allocator only clusters freed afterwards)
//   copyin PATH HOSTFILE             create a file holding the bytes of a host file (e.g. crafted $I records)
//   remount                          unmount and mount again (everything written reaches the image)
//   setinit PATH SIZE                lower the initialized size of the unnamed $DATA (fixture for
//                                    reads past the initialized size)
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/index.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/mft.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/volume.h>
}

#include "FixturePattern.h"

namespace {

ntfs_volume* g_vol = nullptr;
std::string g_image;

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "ntfs-fixture: %s (%s)\n", what.c_str(), std::strerror(errno));
    if (g_vol) ntfs_umount(g_vol, FALSE);
    std::exit(1);
}

// UTF-8 to little-endian UTF-16 (ntfschar), surrogate pairs for non-BMP.
std::vector<ntfschar> ToUtf16(const std::string& s) {
    std::vector<ntfschar> out;
    for (size_t i = 0; i < s.size();) {
        uint32_t c = static_cast<uint8_t>(s[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (extra) c &= (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < s.size(); ++k) c = (c << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        i += 1 + extra;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(cpu_to_le16(static_cast<uint16_t>(0xD800 + (c >> 10))));
            out.push_back(cpu_to_le16(static_cast<uint16_t>(0xDC00 + (c & 0x3FF))));
        } else {
            out.push_back(cpu_to_le16(static_cast<uint16_t>(c)));
        }
    }
    return out;
}

void Split(const std::string& path, std::string& dir, std::string& name) {
    size_t slash = path.rfind('/');
    dir = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Opens a path by walking it name by name in UTF-16 (so any name works).
ntfs_inode* OpenPath(const std::string& path) {
    ntfs_inode* ni = ntfs_inode_open(g_vol, FILE_root);
    if (!ni) Die("cannot open the root folder");
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        std::vector<ntfschar> u = ToUtf16(part);
        u64 mref = ntfs_inode_lookup_by_name(ni, u.data(), static_cast<int>(u.size()));
        ntfs_inode_close(ni);
        if (mref == static_cast<u64>(-1)) return nullptr;
        ni = ntfs_inode_open(g_vol, MREF(mref));
        if (!ni) return nullptr;
    }
    return ni;
}

void Report(ntfs_inode* ni, const std::string& path) {
    std::printf("%llu %s\n", static_cast<unsigned long long>(ni->mft_no), path.c_str());
}

ntfs_inode* Create(const std::string& path, mode_t type) {
    std::string dir, name;
    Split(path, dir, name);
    ntfs_inode* parent = OpenPath(dir);
    if (!parent) Die("no folder " + dir);
    std::vector<ntfschar> u = ToUtf16(name);
    ntfs_inode* ni = ntfs_create(parent, const_cpu_to_le32(0), u.data(), static_cast<u8>(u.size()), type);
    if (!ni) Die("cannot create " + path);
    ntfs_inode_close(parent);
    return ni;
}

void WriteAttr(ntfs_attr* na, const fixture::Pattern& p, uint64_t offset, uint64_t size, const std::string& what,
               size_t step = 1 << 20) {
    std::vector<uint8_t> buf(step);
    for (uint64_t done = 0; done < size;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
        p.Fill(offset + done, buf.data(), n);
        s64 w = ntfs_attr_pwrite(na, static_cast<s64>(offset + done), static_cast<s64>(n), buf.data());
        if (w <= 0) Die("cannot write " + what);
        done += static_cast<uint64_t>(w);
    }
}

uint64_t Num(const std::string& s) { return std::strtoull(s.c_str(), nullptr, 0); }

fixture::Pattern Pat(const std::string& s) {
    fixture::Pattern p;
    if (!fixture::Pattern::Parse(s, p)) {
        errno = EINVAL;
        Die("bad pattern " + s);
    }
    return p;
}

void CmdMkdir(const std::string& path) {
    std::string sofar;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        sofar += "/" + part;
        if (ntfs_inode* ni = OpenPath(sofar)) {
            ntfs_inode_close(ni);
            continue;
        }
        ntfs_inode* ni = Create(sofar, S_IFDIR);
        Report(ni, sofar);
        ntfs_inode_close(ni);
    }
}

void CmdWrite(const std::string& path, const fixture::Pattern& p, uint64_t size) {
    ntfs_inode* ni = Create(path, S_IFREG);
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) Die("cannot open $DATA of " + path);
    WriteAttr(na, p, 0, size, path);
    if (ntfs_attr_pclose(na)) Die("cannot close $DATA of " + path);
    ntfs_attr_close(na);
    Report(ni, path);
    ntfs_inode_close(ni);
}

void CmdText(const std::string& path, const std::string& content) {
    ntfs_inode* ni = Create(path, S_IFREG);
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) Die("cannot open $DATA of " + path);
    if (!content.empty() && ntfs_attr_pwrite(na, 0, static_cast<s64>(content.size()), content.data()) !=
                                static_cast<s64>(content.size()))
        Die("cannot write " + path);
    ntfs_attr_close(na);
    Report(ni, path);
    ntfs_inode_close(ni);
}

void CmdStream(const std::string& item, const fixture::Pattern& p, uint64_t size) {
    size_t colon = item.rfind(':');
    if (colon == std::string::npos) {
        errno = EINVAL;
        Die("stream needs PATH:NAME");
    }
    std::string path = item.substr(0, colon);
    std::vector<ntfschar> name = ToUtf16(item.substr(colon + 1));
    ntfs_inode* ni = OpenPath(path);
    if (!ni) Die("no file " + path);
    if (ntfs_attr_add(ni, AT_DATA, name.data(), static_cast<u8>(name.size()), nullptr, 0)) Die("cannot add stream");
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, name.data(), static_cast<u32>(name.size()));
    if (!na) Die("cannot open stream " + item);
    WriteAttr(na, p, 0, size, item);
    ntfs_attr_pclose(na);
    ntfs_attr_close(na);
    Report(ni, item);
    ntfs_inode_close(ni);
}

void CmdCompressDir(const std::string& path) {
    CmdMkdir(path);
    ntfs_inode* ni = OpenPath(path);
    if (!ni) Die("no folder " + path);
    le32 attrib = ni->flags | FILE_ATTR_COMPRESSED;
    if (ntfs_set_ntfs_attrib(ni, reinterpret_cast<const char*>(&attrib), sizeof attrib, 0))
        Die("cannot mark " + path + " compressed");
    ntfs_inode_close(ni);
}

void CmdSparse(const std::string& path, const fixture::Pattern& p, uint64_t size, const std::string& ranges) {
    ntfs_inode* ni = Create(path, S_IFREG);
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) Die("cannot open $DATA of " + path);
    std::stringstream ss(ranges);
    std::string r;
    while (std::getline(ss, r, ',')) {
        size_t c = r.find(':');
        uint64_t off = Num(r.substr(0, c));
        uint64_t len = Num(r.substr(c + 1));
        WriteAttr(na, p, off, len, path);
    }
    if (static_cast<uint64_t>(na->data_size) < size && ntfs_attr_truncate(na, static_cast<s64>(size)))
        Die("cannot extend " + path);
    ntfs_attr_pclose(na);
    ntfs_attr_close(na);
    Report(ni, path);
    ntfs_inode_close(ni);
}

// Opens the item name of a folder through the folder's inode already open:
// opening the folder a second time (a walk of the whole path) would leave two
// inodes of one record, and the stale one would write its index back.
ntfs_inode* OpenInFolder(ntfs_inode* parent, const std::vector<ntfschar>& name, const std::string& path) {
    u64 mref = ntfs_inode_lookup_by_name(parent, name.data(), static_cast<int>(name.size()));
    ntfs_inode* ni = mref == static_cast<u64>(-1) ? nullptr : ntfs_inode_open(g_vol, MREF(mref));
    if (!ni) Die("no item " + path);
    return ni;
}

void DeletePath(const std::string& path) {
    std::string dir, name;
    Split(path, dir, name);
    ntfs_inode* parent = OpenPath(dir);
    if (!parent) Die("no item " + path);
    std::vector<ntfschar> u = ToUtf16(name);
    ntfs_inode* ni = OpenInFolder(parent, u, path);
    // ntfs_delete closes the item's inode, not the folder's.
    if (ntfs_delete(g_vol, path.c_str(), ni, parent, u.data(), static_cast<u8>(u.size())))
        Die("cannot delete " + path);
    if (ntfs_inode_close(parent)) Die("cannot close " + dir);
}

void CmdFragment(const std::string& path, const fixture::Pattern& p, uint64_t size, uint64_t piece) {
    // The free space is first taken by a hog file and by 2n piece-sized
    // fillers; every second filler is then deleted and the file written
    // into the holes, one run per piece. The hog and the other fillers go
    // afterwards (the folder /fragfill stays).
    const uint64_t cluster = g_vol->cluster_size;
    if (piece == 0 || piece % cluster) {
        errno = EINVAL;
        Die("fragment needs a piece size that is a multiple of the cluster size");
    }
    const uint64_t pieces = (size + piece - 1) / piece;
    const uint64_t fillers = 2 * pieces + 8;
    if (ntfs_volume_get_free_space(g_vol)) Die("cannot count free clusters");
    // Room for the fillers, their MFT records and the folder index growth.
    const uint64_t reserve =
        fillers * (piece / cluster) + (2 * fillers * g_vol->mft_record_size + 256 * fillers) / cluster + 512;
    const uint64_t freeClusters = static_cast<uint64_t>(g_vol->free_clusters);
    if (freeClusters < reserve) {
        errno = ENOSPC;
        Die("the volume is too small for fragment");
    }
    CmdMkdir("/fragfill");
    std::string hog = "/fragfill/hog";
    {
        ntfs_inode* ni = Create(hog, S_IFREG);
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        fixture::Pattern zero;
        WriteAttr(na, zero, 0, (freeClusters - reserve) * cluster, hog);
        ntfs_attr_close(na);
        ntfs_inode_close(ni);
    }
    fixture::Pattern zero;
    for (uint64_t i = 0; i < fillers; ++i) {
        std::string f = "/fragfill/" + std::to_string(i);
        ntfs_inode* ni = Create(f, S_IFREG);
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        WriteAttr(na, zero, 0, piece, f);
        ntfs_attr_close(na);
        ntfs_inode_close(ni);
    }
    // What the fillers left over is taken too, but for a little room for the
    // file's own records.
    std::string hog2 = "/fragfill/hog2";
    if (ntfs_volume_get_free_space(g_vol)) Die("cannot count free clusters");
    if (g_vol->free_clusters > 64) {
        ntfs_inode* ni = Create(hog2, S_IFREG);
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        // Stops quietly where the allocator refuses (the MFT zone is not for data).
        const uint64_t want = static_cast<uint64_t>(g_vol->free_clusters - 64) * cluster;
        std::vector<uint8_t> zeros(cluster * 16, 0);
        for (uint64_t done = 0; done < want;) {
            s64 n = static_cast<s64>((std::min)(want - done, static_cast<uint64_t>(zeros.size())));
            s64 w = ntfs_attr_pwrite(na, static_cast<s64>(done), n, zeros.data());
            if (w <= 0) break;
            done += static_cast<uint64_t>(w);
        }
        ntfs_attr_close(na);
        ntfs_inode_close(ni);
    }
    for (uint64_t i = 0; i < fillers; i += 2) DeletePath("/fragfill/" + std::to_string(i));
    {
        ntfs_inode* ni = Create(path, S_IFREG);
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na) Die("cannot open $DATA of " + path);
        WriteAttr(na, p, 0, size, path, static_cast<size_t>(piece));
        ntfs_attr_close(na);
        Report(ni, path);
        ntfs_inode_close(ni);
    }
    for (uint64_t i = 1; i < fillers; i += 2) DeletePath("/fragfill/" + std::to_string(i));
    DeletePath(hog);
    if (ntfs_inode* h = OpenPath(hog2)) {
        ntfs_inode_close(h);
        DeletePath(hog2);
    }
}

void CmdMany(const std::string& dir, uint64_t count, const std::string& prefix) {
    CmdMkdir(dir);
    for (uint64_t i = 0; i < count; ++i) {
        char name[256];
        std::snprintf(name, sizeof name, "%s%05llu.txt", prefix.c_str(), static_cast<unsigned long long>(i));
        // Create closes the folder before the file: a file closed while its
        // folder is open syncs its name through a second inode of the folder,
        // whose stale index would later be written back over the new entries.
        ntfs_inode* ni = Create(dir + "/" + name, S_IFREG);
        std::string content = std::string(name, std::strlen(name) - 4) + "\n";
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        if (!na || ntfs_attr_pwrite(na, 0, static_cast<s64>(content.size()), content.data()) !=
                       static_cast<s64>(content.size()))
            Die(std::string("cannot write ") + name);
        ntfs_attr_close(na);
        std::printf("%llu %s/%s\n", static_cast<unsigned long long>(ni->mft_no), dir.c_str(), name);
        ntfs_inode_close(ni);
    }
}

void CmdLink(const std::string& existing, const std::string& path) {
    ntfs_inode* ni = OpenPath(existing);
    if (!ni) Die("no file " + existing);
    std::string dir, name;
    Split(path, dir, name);
    ntfs_inode* parent = OpenPath(dir);
    if (!parent) Die("no folder " + dir);
    std::vector<ntfschar> u = ToUtf16(name);
    if (ntfs_link(ni, parent, u.data(), static_cast<u8>(u.size()))) Die("cannot link " + path);
    Report(ni, path);
    ntfs_inode_close(parent);
    ntfs_inode_close(ni);
}

void CmdDelete(const std::string& path) {
    ntfs_inode* ni = OpenPath(path);
    if (!ni) Die("no item " + path);
    std::printf("%llu %s (deleted)\n", static_cast<unsigned long long>(ni->mft_no), path.c_str());
    ntfs_inode_close(ni);
    DeletePath(path);
}

void CmdDosName(const std::string& path, const std::string& shortName) {
    std::string dir, name;
    Split(path, dir, name);
    ntfs_inode* parent = OpenPath(dir);
    if (!parent) Die("no folder " + dir);
    ntfs_inode* ni = OpenInFolder(parent, ToUtf16(name), path);
    std::printf("%llu %s\n", static_cast<unsigned long long>(ni->mft_no), path.c_str());
    // Closes both inodes, whatever the outcome.
    if (ntfs_set_ntfs_dos_name(ni, parent, shortName.c_str(), shortName.size(), 0))
        Die("cannot give " + path + " the DOS name " + shortName);
}

void CmdFreeRecord(const std::string& path) {
    ntfs_inode* ni = OpenPath(path);
    if (!ni) Die("no file " + path);
    if (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) {
        errno = EISDIR;
        Die(path + " is a folder");
    }
    std::printf("%llu %s (deleted)\n", static_cast<unsigned long long>(ni->mft_no), path.c_str());
    std::vector<std::vector<uint8_t>> names;
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) Die("cannot search " + path);
    while (!ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx)) {
        const uint8_t* value = reinterpret_cast<const uint8_t*>(ctx->attr) + le16_to_cpu(ctx->attr->value_offset);
        names.emplace_back(value, value + le32_to_cpu(ctx->attr->value_length));
    }
    ntfs_attr_put_search_ctx(ctx);
    // Every name (DOS aliases too) leaves the index of its folder.
    for (auto& v : names) {
        auto* fn = reinterpret_cast<FILE_NAME_ATTR*>(v.data());
        ntfs_inode* dir = ntfs_inode_open(g_vol, MREF_LE(fn->parent_directory));
        if (!dir) Die("cannot open the folder of a name of " + path);
        if (ntfs_index_remove(dir, ni, fn, static_cast<int>(v.size()))) Die("cannot remove a name of " + path);
        if (ntfs_inode_close(dir)) Die("cannot close a folder of " + path);
    }
    ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx) Die("cannot search " + path);
    while (!ntfs_attrs_walk(ctx)) {
        if (!ctx->attr->non_resident) continue;
        runlist* rl = ntfs_mapping_pairs_decompress(g_vol, ctx->attr, nullptr);
        if (!rl || ntfs_cluster_free_from_rl(g_vol, rl)) Die("cannot free the clusters of " + path);
        std::free(rl);
    }
    ntfs_attr_put_search_ctx(ctx);
    // Clears the in-use flag and the MFT bitmap bit, advances the sequence
    // number and closes the inode; the $FILE_NAMEs stay.
    if (ntfs_mft_record_free(g_vol, ni)) Die("cannot free the record of " + path);
}

void CmdFill(const std::string& path) {
    ntfs_inode* ni = Create(path, S_IFREG);
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (!na) Die("cannot open $DATA of " + path);
    const uint64_t cluster = g_vol->cluster_size;
    std::vector<uint8_t> zeros(cluster * 16, 0);
    uint64_t done = 0;
    for (size_t chunk = zeros.size(); chunk >= cluster;) {
        s64 w = ntfs_attr_pwrite(na, static_cast<s64>(done), static_cast<s64>(chunk), zeros.data());
        if (w <= 0) {
            chunk /= 2;  // the allocator refuses: go on in smaller steps until a cluster fails
            continue;
        }
        done += static_cast<uint64_t>(w);
    }
    ntfs_attr_close(na);
    Report(ni, path);
    ntfs_inode_close(ni);
}

void CmdCopyIn(const std::string& path, const std::string& host) {
    FILE* f = std::fopen(host.c_str(), "rb");
    if (!f) Die("cannot open " + host);
    std::string content;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) content.append(buf, n);
    std::fclose(f);
    CmdText(path, content);
}

void CmdSetInit(const std::string& path, uint64_t size) {
    ntfs_inode* ni = OpenPath(path);
    if (!ni) Die("no file " + path);
    ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
    if (!ctx || ntfs_attr_lookup(AT_DATA, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx))
        Die("no $DATA in " + path);
    if (!ctx->attr->non_resident) {
        errno = EINVAL;
        Die(path + " is resident");
    }
    ctx->attr->initialized_size = cpu_to_sle64(static_cast<s64>(size));
    ntfs_inode_mark_dirty(ctx->ntfs_ino);
    ntfs_attr_put_search_ctx(ctx);
    Report(ni, path);
    ntfs_inode_close(ni);
}

std::vector<std::string> Tokenize(const std::string& line) {
    std::vector<std::string> t;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string tok;
        if (line[i] == '"') {
            ++i;
            while (i < line.size() && line[i] != '"') {
                if (line[i] == '\\' && i + 1 < line.size()) {
                    ++i;
                    tok += line[i] == 'n' ? '\n' : line[i];
                } else {
                    tok += line[i];
                }
                ++i;
            }
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') tok += line[i++];
        }
        t.push_back(tok);
    }
    return t;
}

void Run(const std::vector<std::string>& a) {
    if (a.empty() || a[0][0] == '#') return;
    auto need = [&](size_t n) {
        if (a.size() < n + 1) {
            errno = EINVAL;
            Die("too few arguments for " + a[0]);
        }
    };
    const std::string& c = a[0];
    if (c == "mkdir") { need(1); CmdMkdir(a[1]); }
    else if (c == "write") { need(3); CmdWrite(a[1], Pat(a[2]), Num(a[3])); }
    else if (c == "text") { need(2); CmdText(a[1], a[2]); }
    else if (c == "stream") { need(3); CmdStream(a[1], Pat(a[2]), Num(a[3])); }
    else if (c == "compress-dir") { need(1); CmdCompressDir(a[1]); }
    else if (c == "sparse") { need(4); CmdSparse(a[1], Pat(a[2]), Num(a[3]), a[4]); }
    else if (c == "fragment") { need(4); CmdFragment(a[1], Pat(a[2]), Num(a[3]), Num(a[4])); }
    else if (c == "many") { need(3); CmdMany(a[1], Num(a[2]), a[3]); }
    else if (c == "link") { need(2); CmdLink(a[1], a[2]); }
    else if (c == "delete") { need(1); CmdDelete(a[1]); }
    else if (c == "dosname") { need(2); CmdDosName(a[1], a[2]); }
    else if (c == "free-record") { need(1); CmdFreeRecord(a[1]); }
    else if (c == "remount") {
        std::string image = g_image;
        if (ntfs_umount(g_vol, FALSE)) {
            g_vol = nullptr;
            Die("cannot unmount");
        }
        g_vol = ntfs_mount(image.c_str(), NTFS_MNT_NONE);
        if (!g_vol) Die("cannot mount " + image);
        NVolSetCompression(g_vol);
    }
    else if (c == "fill") { need(1); CmdFill(a[1]); }
    else if (c == "copyin") { need(2); CmdCopyIn(a[1], a[2]); }
    else if (c == "setinit") { need(2); CmdSetInit(a[1], Num(a[2])); }
    else {
        errno = EINVAL;
        Die("unknown command " + c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ntfs-fixture IMAGE COMMAND ARGS... | ntfs-fixture IMAGE -\n");
        return 2;
    }
    g_image = argv[1];
    g_vol = ntfs_mount(argv[1], NTFS_MNT_NONE);
    if (!g_vol) Die(std::string("cannot mount ") + argv[1]);
    NVolSetCompression(g_vol);
    if (std::string(argv[2]) == "-") {
        std::string line;
        while (std::getline(std::cin, line)) Run(Tokenize(line));
    } else {
        Run(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (ntfs_umount(g_vol, FALSE)) {
        g_vol = nullptr;
        Die("cannot unmount");
    }
    return 0;
}

// libntfs-3g keeps some inodes it hands out until the process ends; the
// fixture is a short-lived tool, so the leak checker stays out of it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
