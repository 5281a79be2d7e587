// quarlix: the command line of Quarlix Recovery. It drives the same engine
// objects the desktop window uses, and is what scripts, tests and
// benchmarks call. Sources are only ever opened read-only.
#include <CLI/CLI.hpp>
#include <iostream>

#include "cli/Commands.h"
#include "cli/Progress.h"

int main(int argc, char** argv) {
    CLI::App app {"Quarlix Recovery: finds and restores deleted files on NTFS and FAT volumes "
                  "(block devices, partitions, disk images) without writing to them.",
                  "quarlix"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("quarlix ") + QUARLIX_VERSION);

    GlobalOptions options;
    app.add_flag("--json", options.json, "JSON Lines on stdout");
    app.add_option("--progress", options.progress, "progress bar on stderr: auto, always or never")
        ->check(CLI::IsMember({"auto", "always", "never"}));
    app.add_flag("--no-cache", options.noCache, "neither read nor write the index cache");
    app.add_option("--log-level", options.logLevel, "0 no log, 1 normal, 2 verbose")->check(CLI::Range(0, 2));

    auto* drives = app.add_subcommand("drives", "list devices and partitions with their file systems");

    std::string source;
    int partition = 0;
    auto* info = app.add_subcommand("info", "partition table and volume geometry of a source");
    info->add_option("SOURCE", source, "block device, volume image or disk image")->required();
    info->add_option("--partition", partition, "partition number (as listed) on a disk with a partition table")
        ->check(CLI::PositiveNumber);

    bool rescan = false;
    auto* index = app.add_subcommand("index", "make the index ready (cache restore, else a full scan) and count what it holds");
    index->add_option("SOURCE", source, "block device, volume image or disk image")->required();
    index->add_option("--partition", partition, "partition number")->check(CLI::PositiveNumber);
    index->add_flag("--rescan", rescan, "ignore the cached index and scan the volume again");

    std::string folder;
    bool recursive = false, deletedOnly = false;
    auto* list = app.add_subcommand("list", "list a folder: existing and deleted items side by side");
    list->add_option("SOURCE", source, "block device, volume image or disk image")->required();
    list->add_option("FOLDER", folder, "folder to list, from the volume root (default /)");
    list->add_option("--partition", partition, "partition number")->check(CLI::PositiveNumber);
    list->add_flag("--recursive,-r", recursive, "list the subfolders too");
    list->add_flag("--deleted-only", deletedOnly, "only deleted items");
    std::string listId;
    list->add_option("--id", listId, "list the deleted folder with this id (a file: its own line) instead of FOLDER");

    std::string statItem;
    auto* stat = app.add_subcommand("stat", "every field of one deleted item: times, data status, clusters or runs, streams");
    stat->add_option("SOURCE", source, "block device, volume image or disk image")->required();
    stat->add_option("ITEM", statItem, "id (as list/search print it) or path of a deleted item")->required();
    stat->add_option("--partition", partition, "partition number")->check(CLI::PositiveNumber);

    SearchOptions sq;
    auto* search = app.add_subcommand("search", "find deleted items by name, size and date");
    search->add_option("SOURCE", sq.source, "block device, volume image or disk image")->required();
    search->add_option("--partition", sq.partition, "partition number")->check(CLI::PositiveNumber);
    auto* searchName = search->add_option("--name", sq.name, "pattern (* ? [set]) matched as part of the name");
    search->add_flag("--whole-name", sq.wholeName, "the name must equal --name (any case, no pattern characters)");
    search->add_option("--size", sq.size, "size range MIN-MAX in KiB");
    auto* created = search->add_option("--created", sq.created, "creation date range FROM..TO, YYYY-MM-DD[THH:MM:SS] local time");
    search->add_option("--modified", sq.modified, "modification date range FROM..TO, YYYY-MM-DD[THH:MM:SS] local time")
        ->excludes(created);

    RecoverOptions ro;
    auto* recover = app.add_subcommand("recover", "recover deleted items into a folder");
    recover->add_option("SOURCE", ro.source, "block device, volume image or disk image")->required();
    recover->add_option("ITEM", ro.items, "id (as list/search print it) or path of a deleted item");
    recover->add_flag("--all", ro.all, "every deleted item, each under DIR + its path");
    recover->add_option("--to", ro.to, "destination folder (not on the source device)")->required();
    recover->add_option("--partition", ro.partition, "partition number")->check(CLI::PositiveNumber);
    recover->add_flag("--no-streams", ro.noStreams, "do not write named data streams (NTFS)");
    recover->add_flag("--no-attributes", ro.noAttributes, "do not give recreated folders their former attributes");
    recover->add_option("--on-conflict", ro.onConflict, "when a name exists: rename (default), overwrite or skip")
        ->check(CLI::IsMember({"rename", "overwrite", "skip"}));

    ScanOptions so;
    auto* scan = app.add_subcommand("scan", "find files by their content in the free clusters (the surface scan)");
    scan->add_option("SOURCE", so.source, "block device, volume image or disk image")->required();
    scan->add_option("--types", so.types, "type keys to look for, comma-separated (default: the saved selection)");
    scan->add_flag("--all-clusters", so.allClusters, "examine every cluster, not only the free ones");
    scan->add_option("--unit", so.unit, "unit size in bytes of a source with no NTFS/FAT file system (default 4096)");
    scan->add_option("--to", so.to, "recover every found file into this folder (not on the source device)");
    scan->add_option("--partition", so.partition, "partition number")->check(CLI::PositiveNumber);

    auto* cache = app.add_subcommand("cache", "manage the cached indexes");
    cache->require_subcommand(1);
    auto* clean = cache->add_subcommand("clean", "delete the cached index of one source, or of all");
    clean->add_option("SOURCE", source, "block device, volume image or disk image (default: every source)");
    clean->add_option("--partition", partition, "partition number")->check(CLI::PositiveNumber);

    app.fallthrough();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }
    OpenLog(options);
    InstallInterruptHandler();
    try {
        if (*drives) return RunDrives(options);
        if (*info) return RunInfo(options, source, partition);
        if (*recover) return RunRecover(options, ro);
        if (*scan) return RunScan(options, so);
        if (*clean) return RunCacheClean(options, source, partition);
        if (*index) return RunIndex(options, source, partition, rescan);
        if (*list) return RunList(options, source, partition, folder, recursive, deletedOnly, listId);
        if (*stat) return RunStat(options, source, partition, statItem);
        if (*search) {
            sq.useName = searchName->count() > 0;
            return RunSearch(options, sq);
        }
    } catch (const std::exception& e) {
        PrintError(std::string("internal error: ") + e.what());
        return kExitSource;
    }
    return kExitUsage;
}
