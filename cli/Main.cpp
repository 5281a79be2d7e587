// quarlix: the command line of Quarlix Recovery. It drives the same engine
// objects the desktop window uses, and is what scripts, tests and
// benchmarks call. Sources are only ever opened read-only.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>

#include "engine/index/FolderBrowse.h"
#include "cli/Commands.h"
#include "cli/Source.h"
#include "cli/Completion.h"
#include "cli/Progress.h"

namespace {

constexpr const char* kSourceHelp = "block device, volume image or disk image";

// A check of an option's text that says what is wanted in words; words()
// is asked only when the check fails.
CLI::Validator Wants(std::function<bool(const std::string&)> ok, std::function<std::string()> words) {
    return CLI::Validator([ok = std::move(ok), words = std::move(words)](std::string& text) {
        return ok(text) ? std::string() : words();
    }, "");
}

CLI::Validator Wants(std::function<bool(const std::string&)> ok, const std::string& words) {
    return Wants(std::move(ok), [words] { return words; });
}

CLI::Validator PartitionNumber() {
    return CLI::Validator([](std::string& text) -> std::string {
        uint64_t v = 0;
        if (text.find_first_not_of("0123456789") == std::string::npos && text.size() > 9) return "is too large";
        if (!ParseItemId(text, v) || v < 1) return "must be 1 or more";
        return {};
    }, "");
}

// The options that take one of a fixed set of values, by name: checked by
// OneOf, offered by the completion.
std::map<std::string, std::vector<std::string>> g_fixedValues;

CLI::Option* OneOf(CLI::Option* option, std::vector<std::string> values, std::string words) {
    g_fixedValues["--" + option->get_lnames().front()] = values;
    return option->check(
        Wants([values](const std::string& t) { return std::find(values.begin(), values.end(), t) != values.end(); },
              "must be " + words));
}

// "jpg, png, ..." as a list.
std::vector<std::string> SplitKeys(const std::string& keys) {
    std::vector<std::string> list;
    for (size_t at = 0; at < keys.size();) {
        const size_t comma = std::min(keys.find(',', at), keys.size());
        const std::string key = keys.substr(at, comma - at);
        const size_t first = key.find_first_not_of(' ');
        if (first != std::string::npos) list.push_back(key.substr(first));
        at = comma + 1;
    }
    return list;
}

// An ITEM is a path or an id; an id must fit in 64 bits.
CLI::Validator ItemArgument() {
    return Wants(
        [](const std::string& t) {
            uint64_t id = 0;
            return !t.empty() && (t.find_first_not_of("0123456789") != std::string::npos || ParseItemId(t, id));
        },
        "must be an id (at most 18446744073709551615) or the path of a deleted item");
}

// Usage errors as one line: "quarlix: --partition must be 1 or more".
std::string UsageText(const CLI::ParseError& e) {
    std::string m = e.what();
    if (dynamic_cast<const CLI::ValidationError*>(&e)) {
        // CLI11 writes "NAME: MESSAGE"; ours read on from the name.
        const size_t colon = m.find(": ");
        if (colon != std::string::npos) m = m.substr(0, colon) + " " + m.substr(colon + 2);
    } else if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        const size_t colon = m.find(": ");
        m = "unexpected argument" + std::string(m.find("arguments were") != std::string::npos ? "s" : "") + " " +
            (colon == std::string::npos ? m : m.substr(colon + 2));
    }
    if (!m.empty() && m[0] >= 'A' && m[0] <= 'Z' && !(m.size() > 1 && m[1] >= 'A' && m[1] <= 'Z'))
        m[0] = static_cast<char>(m[0] - 'A' + 'a');
    return m;
}

// The command a command line names: its first word that is neither an
// option nor the value of a global option ("" when there is none).
std::string CommandWord(CLI::App& app, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") return i + 1 < argc ? argv[i + 1] : "";
        if (a.size() > 1 && a[0] == '-') {
            const CLI::Option* o = a.find('=') == std::string::npos ? app.get_option_no_throw(a) : nullptr;
            if (o && o->get_items_expected_min() > 0) ++i;  // its value
            continue;
        }
        return a;
    }
    return {};
}

std::vector<CLI::App*> Commands(CLI::App& app) {
    return app.get_subcommands([](CLI::App*) { return true; });
}

std::string CommandNames(CLI::App& app) {
    std::string s;
    for (CLI::App* c : Commands(app)) s += (s.empty() ? "" : ", ") + c->get_name();
    return s;
}

CLI::App* FindCommand(CLI::App& parent, const std::string& name) {
    for (CLI::App* c : Commands(parent))
        if (c->get_name() == name) return c;
    return nullptr;
}

// `quarlix help [COMMAND...]`: the help of quarlix or of one (sub)command.
int RunHelp(CLI::App& app, const std::vector<std::string>& topic) {
    CLI::App* at = &app;
    std::string name = app.get_name();
    for (const std::string& word : topic) {
        CLI::App* next = FindCommand(*at, word);
        if (!next) {
            PrintError("unknown command '" + word + "'; the commands are: " + CommandNames(*at));
            return kExitUsage;
        }
        name += " " + word;
        at = next;
    }
    // Not App::help: it would describe the help command itself, the one parsed.
    std::cout << at->get_formatter()->make_help(at, name, CLI::AppFormatMode::Normal);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // A write past the file size limit (ulimit -f) then fails with EFBIG and
    // the item is failed, instead of the signal ending the whole run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A closed output (`| head`, a quit pager) is seen as a failed write and
    // ends the run with a failure status, also when the caller ignores SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app {"Quarlix Recovery: finds and restores deleted files on NTFS, FAT and exFAT volumes "
                  "(block devices, partitions, disk images) without writing to them.",
                  "quarlix"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("quarlix ") + QUARLIX_VERSION);
    // Every command inherits this footer; one with its own adds it again.
    const std::string globalsFooter =
        "Global options, before or after the command: --json, --progress auto|always|never, --no-cache, "
        "--log-level 0|1|2, --bad-map MAPFILE|none. 'quarlix help COMMAND' shows the help of one command.";
    app.footer(globalsFooter);

    // The global options, and fallthrough before any command is added: every
    // command (and its subcommands) inherits it, so the global options are
    // also taken after the command's name.
    GlobalOptions options;
    app.add_flag("--json", options.json, "JSON Lines on stdout");
    OneOf(app.add_option("--progress", options.progress, "progress bar on stderr: auto, always or never"),
          {"auto", "always", "never"}, "auto, always or never");
    app.add_flag("--no-cache", options.noCache, "neither read nor write the index cache");
    OneOf(app.add_option("--log-level", options.logLevel, "0 no log, 1 normal, 2 verbose"), {"0", "1", "2"},
          "0, 1 or 2");
    app.add_option("--bad-map", options.badMap,
                   "a GNU ddrescue map of the source: what it marks not rescued is never read (default: "
                   "IMAGE.map or IMAGE.mapfile beside an image; none: no map)");
    app.fallthrough();

    auto* help = app.add_subcommand("help", "show the help of quarlix or of one command: help [COMMAND]");
    std::vector<std::string> helpTopic;
    help->add_option("COMMAND", helpTopic, "a command, for example list or cache clean");
    help->fallthrough(false);  // the words after it name a command; they are not parsed as one

    auto* drives = app.add_subcommand("drives", "list devices and partitions with their file systems");

    std::string source;
    int partition = 0;
    auto* info = app.add_subcommand("info", "partition table and volume geometry of a source");
    info->add_option("SOURCE", source, kSourceHelp)->required();
    info->add_option("--partition", partition, "partition number (as listed) on a disk with a partition table")
        ->check(PartitionNumber());

    bool rescan = false;
    auto* index = app.add_subcommand("index", "make the index ready (cache restore, else a full scan) and count what it holds");
    index->add_option("SOURCE", source, kSourceHelp)->required();
    index->add_option("--partition", partition, "partition number")->check(PartitionNumber());
    index->add_flag("--rescan", rescan, "ignore the cached index and scan the volume again");

    std::string folder;
    bool recursive = false, deletedOnly = false;
    auto* list = app.add_subcommand("list", "list a folder: existing and deleted items side by side");
    list->add_option("SOURCE", source, kSourceHelp)->required();
    list->add_option("FOLDER", folder, "folder to list, from the volume root (default /)");
    list->add_option("--partition", partition, "partition number")->check(PartitionNumber());
    list->add_flag("--recursive,-r", recursive, "list the subfolders too");
    list->add_flag("--deleted-only", deletedOnly, "only deleted items");
    std::string listId;
    list->add_option("--id", listId, "list the deleted folder with this id (a file: its own line) instead of FOLDER")
        ->check(ItemArgument());
    list->footer("Times: NTFS times are UTC (ending in Z); FAT times are the wall-clock times the volume stores, "
                 "with no zone, shown as stored whatever the time zone of this machine.\n" + globalsFooter);

    std::string statItem;
    auto* stat = app.add_subcommand("stat", "every field of one deleted item: times, data status, clusters or runs, streams");
    stat->add_option("SOURCE", source, kSourceHelp)->required();
    stat->add_option("ITEM", statItem, "id (as list/search print it) or path of a deleted item")
        ->required()
        ->check(ItemArgument());
    stat->add_option("--partition", partition, "partition number")->check(PartitionNumber());

    std::string catItem, catStream;
    bool catForce = false;
    auto* cat = app.add_subcommand("cat", "one deleted file's content to standard output, read as the preview reads it");
    cat->add_option("SOURCE", source, kSourceHelp)->required();
    cat->add_option("ITEM", catItem, "id (as list/search print it) or path of a deleted file")
        ->required()
        ->check(ItemArgument());
    cat->add_option("--stream", catStream, "a named data stream of the file (NTFS)");
    cat->add_flag("--force", catForce, "write binary content to a terminal too");
    cat->add_option("--partition", partition, "partition number")->check(PartitionNumber());

    SearchOptions sq;
    const std::string dates = "FROM..TO, each YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, local time, or with Z or +HH:MM";
    auto* search = app.add_subcommand("search", "find deleted items by name, size and date");
    search->add_option("SOURCE", sq.source, kSourceHelp)->required();
    search->add_option("--partition", sq.partition, "partition number")->check(PartitionNumber());
    auto* searchName = search->add_option("--name", sq.name, "pattern (* ? [set]) matched as part of the name");
    search->add_flag("--whole-name", sq.wholeName, "the name must equal --name (any case, no pattern characters)");
    search->add_option("--size", sq.size, "size range MIN-MAX in KiB");
    auto* created = search->add_option("--created", sq.created, "creation date range " + dates);
    search->add_option("--modified", sq.modified, "modification date range " + dates)->excludes(created);
    search->footer("A time as list prints it is taken as it is: with Z or an offset it is that moment; without "
                   "a zone it is this machine's local time on NTFS and the stored wall-clock time on FAT.\n" +
                   globalsFooter);

    RecoverOptions ro;
    auto* recover = app.add_subcommand("recover", "recover deleted items into a folder");
    recover->add_option("SOURCE", ro.source, kSourceHelp)->required();
    recover->add_option("ITEM", ro.items, "id (as list/search print it) or path of a deleted item")
        ->check(ItemArgument());
    recover->add_flag("--all", ro.all, "every deleted item, each under DIR + its path");
    recover->add_option("--to", ro.to, "destination folder (not on the source device)")->required();
    recover->add_option("--partition", ro.partition, "partition number")->check(PartitionNumber());
    recover->add_flag("--no-streams", ro.noStreams, "do not write named data streams (NTFS)");
    recover->add_flag("--no-attributes", ro.noAttributes, "do not give recreated folders their former attributes");
    OneOf(recover->add_option("--on-conflict", ro.onConflict, "when a name exists: rename (default), overwrite or skip"),
          {"rename", "overwrite", "skip"}, "rename, overwrite or skip");
    recover->add_flag("--yes", ro.yes,
                      "recover even when the selection is larger than the destination's free space, or when the "
                      "destination's file system names nothing behind it (a FUSE mount)");

    ScanOptions so;
    auto* scan = app.add_subcommand("scan", "find files by their content in the free clusters (the surface scan)");
    scan->add_option("SOURCE", so.source, kSourceHelp)->required();
    scan->add_option("--types", so.types, "type keys to look for, comma-separated (default: the saved selection)")
        ->check(Wants([](const std::string& t) { return t.find_first_not_of(" ,\t") != std::string::npos; },
                      [] { return "must name at least one type: " + ScanTypeKeys(); }));
    scan->add_flag("--all-clusters", so.allClusters, "examine every cluster, not only the free ones");
    scan->add_option("--unit", so.unit, "unit size in bytes of a source with no NTFS, FAT or exFAT file system (default 4096)")
        ->check(Wants(
            [](const std::string& t) {
                uint64_t v = 0;
                return ParseItemId(t, v) && v >= 512 && v <= 1048576 && (v & (v - 1)) == 0;
            },
            "must be a power of two from 512 to 1048576"));
    scan->add_option("--to", so.to, "recover every found file into this folder (not on the source device)");
    scan->add_option("--partition", so.partition, "partition number")->check(PartitionNumber());
    scan->footer([] { return "Type keys: " + ScanTypeKeys(); });  // printed before the inherited footer

    ImageOptions io;
    auto* image = app.add_subcommand("image", "copy a (failing) device or image into an image file, the readable "
                                              "areas first, with a rescue map to go on from");
    image->add_option("SOURCE", io.source, kSourceHelp)->required();
    image->add_option("--to", io.to, "the image file to write (not on the source device)")->required();
    image->add_option("--map", io.map, "the rescue map (GNU ddrescue's mapfile format; default: FILE.map)");
    image->add_flag("--retry-bad", io.retryBad, "read the blocks an earlier run found bad once more");
    image->footer("A stopped run goes on from the map: rescued areas are not read again, areas marked bad only with "
                  "--retry-bad. Exit status 1 when some bytes could not be read.\n" + globalsFooter);

    auto* cache = app.add_subcommand("cache", "manage the cached indexes");
    cache->require_subcommand(1);
    auto* clean = cache->add_subcommand("clean", "delete the cached index of one source, or of all");
    clean->add_option("SOURCE", source, "block device, volume image or disk image (default: every source)");
    clean->add_option("--partition", partition, "partition number")->check(PartitionNumber());

    // Hidden: the bash completion, made from the table above.
    if (argc == 2 && std::string(argv[1]) == "--bash-completion") {
        g_fixedValues["--types"] = SplitKeys(ScanTypeKeys());
        for (uint32_t unit = 512; unit <= 1048576; unit *= 2) g_fixedValues["--unit"].push_back(std::to_string(unit));
        std::cout << BashCompletion(app, g_fixedValues);
        return std::cout.flush() ? kExitOk : kExitOutputLost;
    }
    const std::string command = CommandWord(app, argc, argv);
    if (!command.empty() && !FindCommand(app, command)) {
        PrintError("unknown command '" + command + "'; the commands are: " + CommandNames(app));
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e) == 0 ? kExitOk : kExitUsage;  // --help, --version
        if (command.empty() && dynamic_cast<const CLI::RequiredError*>(&e))
            PrintError("name a command: " + CommandNames(app) + " (quarlix --help tells more)");
        else
            PrintError(UsageText(e) + " (quarlix help " + command + (command.empty() ? "" : " ") + "tells more)");
        return kExitUsage;
    }
    if (*help) return RunHelp(app, helpTopic);
    SetWarningOutput(options.json, options.logLevel);
    OpenLog(options);
    UseRescueMapOption(options);
    InstallInterruptHandler();
    int rc = kExitUsage;
    try {
        if (*drives) rc = RunDrives(options);
        else if (*info) rc = RunInfo(options, source, partition);
        else if (*recover) rc = RunRecover(options, ro);
        else if (*scan) rc = RunScan(options, so);
        else if (*image) rc = RunImage(options, io);
        else if (*clean) rc = RunCacheClean(options, source, partition);
        else if (*index) rc = RunIndex(options, source, partition, rescan);
        else if (*list) rc = RunList(options, source, partition, folder, recursive, deletedOnly, listId);
        else if (*stat) rc = RunStat(options, source, partition, statItem);
        else if (*cat) rc = RunCat(options, source, partition, catItem, catStream, catForce);
        else if (*search) {
            sq.useName = searchName->count() > 0;
            rc = RunSearch(options, sq);
        }
    } catch (const std::exception& e) {
        PrintError(std::string("internal error: ") + e.what());
        return kExitSource;
    }
    // A run a signal stopped ends with 128 + the signal's number.
    if (rc == kExitInterrupted || Interrupted()) return InterruptExitCode();
    // Output that could not be written is never a success.
    if (!std::cout.flush() && rc != kExitOutputLost) {
        PrintError("the output could not be written");
        return kExitOutputLost;
    }
    return rc;
}
