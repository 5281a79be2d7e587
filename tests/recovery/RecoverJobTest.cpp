// The recovery job's naming, conflict and bookkeeping rules, driven through
// the real copy loop of a FAT volume (carved runs) and through the callback.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/PatternFatImage.h"
#include "common/TestUtil.h"
#include "engine/fat/FatVolume.h"
#include "engine/recovery/Destination.h"
#include "engine/volume/OutputNames.h"
#include "engine/recovery/RecoverJob.h"
#include "engine/recovery/RecoverProgress.h"
#include "engine/recovery/OutputFile.h"

using testutil::TempDir;

namespace {

// Answers every question from a script and remembers what was asked.
class ScriptedPrompts : public IRecoverPrompts {
public:
    std::vector<PromptAnswer> answers;
    std::vector<PromptKind> asked;
    PromptAnswer Ask(PromptKind kind, const std::string&, const std::string&, std::string&) override {
        asked.push_back(kind);
        if (answers.empty()) return PromptAnswer::No;
        PromptAnswer a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
};

class RecoverJobTest : public testutil::PatternFatImage {
protected:
    void SetUp() override { ASSERT_TRUE(vol.Initialize(image)); }

    // A carved job over the given runs (first cluster, length, name).
    void FillCarvedJob(RecoverJob& job, const std::vector<RecoverItem>& items, const std::string& dest) {
        job.volume = &vol;
        job.destination = dest;
        job.flags = RECOVER_CARVED;
        auto index = std::make_shared<size_t>(0);
        job.getNextItem = [items, index](bool, RecoverItem& out) {
            if (*index >= items.size()) {
                *index = 0;
                return false;
            }
            out = items[(*index)++];
            return true;
        };
    }

    CFatVolume vol;
};

TEST_F(RecoverJobTest, CarvedItemsAreWrittenAndCountedBothWalks) {
    TempDir out;
    RecoverJob job;
    FillCarvedJob(job, {{0, 2, u"a.jpg", 5000}, {0, 10, u"b.png", 3000}}, out.path().string());
    CountRecoverySize(job);
    EXPECT_EQ(job.totalSize, 8000u);
    CRecoverProgress progress(&vol, nullptr, true);
    progress.SetTotalSize(job.totalSize);
    EXPECT_EQ(RecoverThread(job, &progress), RecoverResult::Ok);
    auto a = testutil::ReadFileBytes(out.file("a.jpg"));
    auto b = testutil::ReadFileBytes(out.file("b.png"));
    ASSERT_EQ(a.size(), 5000u);
    ASSERT_EQ(b.size(), 3000u);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), pattern.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), pattern.begin() + 8 * 2048));
    RecoverCounters c = progress.Snapshot();
    EXPECT_EQ(c.filesStarted, 2);
    EXPECT_EQ(c.filesDone, 2);
    EXPECT_EQ(c.recoveredBytes, 8000u);
    EXPECT_EQ(c.totalPercent, 100);
    auto records = progress.TakeRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].bytes, 3000u);
    EXPECT_TRUE(records[1].isCarved);
}

TEST_F(RecoverJobTest, TheJobCountsThenDeliversEveryRecordAndStopsWhenAsked) {
    // The same two runs through the job shape: the size first, then one
    // record per item, the progress in bytes of the selection.
    const std::vector<RecoverItem> items = {{0, 2, u"a.jpg", 5000}, {0, 10, u"b.png", 3000}};
    RecoverJob source;
    for (const bool stopFirst : {false, true}) {
        TempDir out;
        FillCarvedJob(source, items, out.path().string());
        RecoverJobSettings settings;
        settings.destination = out.path().string();
        settings.flags = RECOVER_CARVED;
        CJobEventQueue<RecoverJobEvent> events;
        CRecoverJob job(vol, source.getNextItem, settings, &events);
        if (stopFirst) job.RequestStop();  // applies to the start that follows
        ASSERT_TRUE(job.Start());
        job.Wait();
        const auto got = events.Take();
        if (stopFirst) {
            EXPECT_TRUE(job.Outcome().stopped());
            EXPECT_TRUE(got.empty());
            EXPECT_FALSE(std::filesystem::exists(out.file("a.jpg")));
            continue;
        }
        EXPECT_TRUE(job.Outcome().completed());
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].kind, RecoverJobEvent::Kind::SizeCounted);
        EXPECT_EQ(got[0].totalSize, 8000u);
        EXPECT_EQ(got[1].kind, RecoverJobEvent::Kind::ItemEnded);
        EXPECT_EQ(got[2].record.bytes, 3000u);
        EXPECT_STREQ(RecoverStatusName(got[2].record), "ok");
        EXPECT_EQ(job.Counters().recoveredBytes, 8000u);
        EXPECT_EQ(job.Progress().delivered, 2u);
        EXPECT_EQ(testutil::ReadFileBytes(out.file("b.png")).size(), 3000u);
    }
}

TEST_F(RecoverJobTest, SecondRunIntoTheSameFolderNeverOverwritesWithoutConsent) {
    TempDir out;
    RecoverJob job;
    FillCarvedJob(job, {{0, 2, u"x.bin", 100}}, out.path().string());
    testutil::WriteFileBytes(out.file("x.bin"), std::vector<uint8_t>(7, 0xAB));
    // Carved items are not renamed: the job asks; "no" keeps the old file.
    ScriptedPrompts no;
    no.answers = {PromptAnswer::No};
    CRecoverProgress p1(&vol, &no, true);
    EXPECT_EQ(RecoverThread(job, &p1), RecoverResult::Ok);
    EXPECT_EQ(std::filesystem::file_size(out.file("x.bin")), 7u);
    ASSERT_EQ(no.asked.size(), 1u);
    EXPECT_EQ(no.asked[0], PromptKind::OverwriteFile);
    EXPECT_EQ(p1.Snapshot().filesDone, 0);
    // A front end that renames gets a new file beside the old one.
    class Renamer : public IRecoverPrompts {
        PromptAnswer Ask(PromptKind, const std::string&, const std::string& path, std::string& np) override {
            np = NumberedConflictName(path, 3);
            return PromptAnswer::Rename;
        }
    } renamer;
    CRecoverProgress p2(&vol, &renamer, true);
    EXPECT_EQ(RecoverThread(job, &p2), RecoverResult::Ok);
    EXPECT_EQ(std::filesystem::file_size(out.file("x (3).bin")), 100u);
    EXPECT_EQ(std::filesystem::file_size(out.file("x.bin")), 7u);
    // Yes-to-all overwrites this one and every later conflict without asking.
    ScriptedPrompts yes;
    yes.answers = {PromptAnswer::YesToAll};
    CRecoverProgress p3(&vol, &yes, true);
    EXPECT_EQ(RecoverThread(job, &p3), RecoverResult::Ok);
    EXPECT_EQ(RecoverThread(job, &p3), RecoverResult::Ok);
    EXPECT_EQ(std::filesystem::file_size(out.file("x.bin")), 100u);
    EXPECT_EQ(yes.asked.size(), 1u);
}

TEST_F(RecoverJobTest, IndexItemConflictsAreRenamedOnceThenAsked) {
    TempDir out;
    // Drive the callback as a file recovery does: the announced path exists.
    testutil::WriteFileBytes(out.file("report.doc"), {1});
    testutil::WriteFileBytes(out.file("report (2).doc"), {2});
    ScriptedPrompts prompts;
    prompts.answers = {PromptAnswer::NoToAll};
    CRecoverProgress p(&vol, &prompts, false);
    std::string path = out.file("report.doc");
    ASSERT_EQ(p.OnItemBegin(1234, path, false, false), RecoverResult::Ok);
    bool overwrite = false;
    EXPECT_EQ(p.OnCreateFailed(path, false, EEXIST, overwrite), RecoverResult::Ok);
    EXPECT_EQ(path, out.file("report (2).doc")) << "FAT sources rename with (2)";
    EXPECT_EQ(p.OnCreateFailed(path, false, EEXIST, overwrite), RecoverResult::Skip);
    EXPECT_FALSE(overwrite);
    // A skip chosen on purpose is no failure: the folder around it goes on unfailed.
    EXPECT_EQ(p.OnItemEnd(1234, path, false, false, RecoverResult::Skip), RecoverResult::Kept);
    // No-to-all: the next conflict is skipped without a question.
    std::string again = out.file("report.doc");
    p.OnItemBegin(1235, again, false, false);
    EXPECT_EQ(p.OnCreateFailed(again, false, EEXIST, overwrite), RecoverResult::Ok);
    EXPECT_EQ(p.OnCreateFailed(again, false, EEXIST, overwrite), RecoverResult::Skip);
    EXPECT_EQ(prompts.asked.size(), 1u);
    p.OnItemEnd(1235, again, false, false, RecoverResult::Skip);
    for (const auto& r : p.TakeRecords()) EXPECT_STREQ(RecoverStatusName(r), "skipped");
    EXPECT_EQ(p.Snapshot().skipped, 2);
    EXPECT_EQ(p.Snapshot().failed, 0);
}

// The first step for a name already taken, for every policy and situation:
// O overwrite/merge, K keep (skip), R the job's rule, F first free name, A ask.
TEST(ConflictDecision, EveryPolicyInEverySituation) {
    const auto letter = [](ConflictStep s) { return "OKRFA"[static_cast<int>(s)]; };
    struct Row {
        ConflictPolicy policy;
        const char* steps;  // file: announced, announced+carved, later, later+carved; then the same for a folder
    } rows[] = {
        {ConflictPolicy::Ask, "RAAA" "RRAA"},
        {ConflictPolicy::Rename, "RFFF" "RRFF"},
        {ConflictPolicy::Overwrite, "OOAA" "OOAA"},
        {ConflictPolicy::Skip, "KKAA" "OOAA"},
    };
    for (const Row& r : rows) {
        std::string got;
        for (bool folder : {false, true})
            for (bool announced : {true, false})
                for (bool carved : {false, true}) got += letter(DecideConflict(r.policy, folder, announced, carved));
        EXPECT_EQ(got, r.steps) << static_cast<int>(r.policy);
    }
}

TEST_F(RecoverJobTest, ConflictPoliciesDoWhatTheySay) {
    // report.doc, report (2).doc and the folders tree, tree (2) exist already.
    TempDir out;
    testutil::WriteFileBytes(out.file("report.doc"), {1});
    testutil::WriteFileBytes(out.file("report (2).doc"), {2});
    std::filesystem::create_directories(out.file("tree (2)"));
    std::filesystem::create_directories(out.file("tree"));
    struct Case {
        ConflictPolicy policy;
        bool folder;
        std::vector<std::string> paths;  // the path after each create failure (EEXIST)
        RecoverResult lastAnswer;
        bool overwrite;
        const char* status;
    } cases[] = {
        {ConflictPolicy::Rename, false, {"report (2).doc", "report (3).doc"}, RecoverResult::Ok, false, "ok"},
        {ConflictPolicy::Overwrite, false, {"report.doc"}, RecoverResult::Ok, true, "ok"},
        {ConflictPolicy::Skip, false, {"report.doc"}, RecoverResult::Skip, false, "skipped"},
        {ConflictPolicy::Rename, true, {"tree (2)", "tree (3)"}, RecoverResult::Ok, false, "ok"},
        {ConflictPolicy::Overwrite, true, {"tree"}, RecoverResult::Ok, true, "ok"},  // merged into
        {ConflictPolicy::Skip, true, {"tree"}, RecoverResult::Ok, true, "ok"},       // its files skip one by one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.paths.back());
        ScriptedPrompts never;
        CRecoverProgress p(&vol, &never, false);
        p.SetConflictPolicy(c.policy);
        std::string path = out.file(c.folder ? "tree" : "report.doc");
        ASSERT_EQ(p.OnItemBegin(1, path, c.folder, false), RecoverResult::Ok);
        bool overwrite = false;
        RecoverResult answer = RecoverResult::Ok;
        for (const auto& want : c.paths) {
            answer = p.OnCreateFailed(path, c.folder, EEXIST, overwrite);
            EXPECT_EQ(path, out.file(want));
        }
        EXPECT_EQ(answer, c.lastAnswer);
        EXPECT_EQ(overwrite, c.overwrite);
        EXPECT_TRUE(never.asked.empty());
        p.OnItemEnd(1, path, c.folder, false, answer);
        auto records = p.TakeRecords();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_STREQ(RecoverStatusName(records[0]), c.status);
        EXPECT_EQ(records[0].path, path);
    }
    // Any other failure to create is a failure under every policy.
    for (ConflictPolicy policy : {ConflictPolicy::Rename, ConflictPolicy::Overwrite, ConflictPolicy::Skip}) {
        CRecoverProgress p(&vol, nullptr, false);
        p.SetConflictPolicy(policy);
        std::string path = out.file("ro/x.doc");
        p.OnItemBegin(2, path, false, false);
        bool overwrite = false;
        EXPECT_EQ(p.OnCreateFailed(path, false, EROFS, overwrite), RecoverResult::Skip);
        p.OnItemEnd(2, path, false, false, RecoverResult::Skip);
        auto records = p.TakeRecords();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_STREQ(RecoverStatusName(records[0]), "failed");
        EXPECT_NE(records[0].status.find("Cannot create the file"), std::string::npos);
        EXPECT_EQ(p.Snapshot().failed, 1);
    }
}

// Names that lost their first letter: two items of one run that want one
// name take _1, _2 in the order of the run, whatever was there before; a
// name that was there before the run meets the conflict policy.
TEST_F(RecoverJobTest, LostFirstLetterNamesGetUnderscoreNumbers) {
    TempDir out;
    testutil::WriteFileBytes(out.file("_ILE.TXT"), {1});
    testutil::WriteFileBytes(out.file("_ILE_1.TXT"), {1});
    struct Case {
        ConflictPolicy policy;
        std::vector<std::string> written;  // per item of the run: its path after the conflict answer, "" skipped
    } cases[] = {
        {ConflictPolicy::Skip, {"", "", "_ILE_2.TXT"}},
        {ConflictPolicy::Overwrite, {"_ILE.TXT", "_ILE_1.TXT", "_ILE_2.TXT"}},
        {ConflictPolicy::Rename, {"_ILE_2.TXT", "_ILE_1_1.TXT", "_ILE_2.TXT"}},
    };
    for (const auto& c : cases) {
        CRecoverProgress p(&vol, nullptr, false);
        p.SetConflictPolicy(c.policy);
        for (size_t i = 0; i < c.written.size(); ++i) {
            SCOPED_TRACE(std::to_string(static_cast<int>(c.policy)) + " item " + std::to_string(i));
            std::string path = out.file("?ILE.TXT");
            ASSERT_EQ(p.OnItemBegin(7 + i, path, false, false), RecoverResult::Ok);
            const char* wanted[] = {"_ILE.TXT", "_ILE_1.TXT", "_ILE_2.TXT"};
            EXPECT_EQ(path, out.file(wanted[i])) << "the name the run gives the item";
            RecoverResult hr = RecoverResult::Ok;
            bool overwrite = false;
            if (std::filesystem::exists(path)) hr = p.OnCreateFailed(path, false, EEXIST, overwrite);
            if (c.written[i].empty()) {
                EXPECT_EQ(hr, RecoverResult::Skip);
            } else {
                EXPECT_EQ(hr, RecoverResult::Ok);
                EXPECT_EQ(path, out.file(c.written[i]));
            }
            p.OnItemEnd(7 + i, path, false, false, hr);
        }
    }
    // The first free name of the form is taken across extensions too.
    CRecoverProgress p(&vol, nullptr, false);
    std::string tgz = out.file("?ILE.TAR.GZ");
    p.OnItemBegin(8, tgz, false, false);
    EXPECT_EQ(tgz, out.file("_ILE.TAR.GZ"));
}

TEST_F(RecoverJobTest, IncompleteFilesAreKeptAndWarnedOnce) {
    TempDir out;
    uint64_t lastCluster = 2 + (std::filesystem::file_size(image) - dataStart) / 2048 - 1;
    RecoverJob job;
    FillCarvedJob(job, {{0, lastCluster, u"tail.bin", 10000}}, out.path().string());
    ScriptedPrompts prompts;
    prompts.answers = {PromptAnswer::Skip};
    CRecoverProgress p(&vol, &prompts, true);
    EXPECT_EQ(RecoverThread(job, &p), RecoverResult::Ok);
    EXPECT_EQ(std::filesystem::file_size(out.file("tail.bin")), 2048u);
    ASSERT_EQ(prompts.asked, std::vector<PromptKind> {PromptKind::Warning});
    auto rec = p.TakeRecords();
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_TRUE(rec[0].incomplete);
    EXPECT_EQ(rec[0].result, RecoverResult::Ok);
    EXPECT_EQ(p.Snapshot().incomplete, 1);
    // A cancel answer to the warning ends the job.
    ScriptedPrompts cancel;
    cancel.answers = {PromptAnswer::Cancel};
    CRecoverProgress p2(&vol, &cancel, true);
    job.destination = out.file("sub");
    std::filesystem::create_directories(job.destination);
    EXPECT_EQ(RecoverThread(job, &p2), RecoverResult::Stopped);
    // Skip-all silences the warnings of later incomplete files.
    FillCarvedJob(job, {{0, lastCluster, u"t1", 9000}, {0, lastCluster, u"t2", 9000}}, out.path().string());
    ScriptedPrompts skipAll;
    skipAll.answers = {PromptAnswer::SkipAll};
    CRecoverProgress p3(&vol, &skipAll, true);
    EXPECT_EQ(RecoverThread(job, &p3), RecoverResult::Ok);
    EXPECT_EQ(skipAll.asked.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(out.file("t2")));
}

TEST_F(RecoverJobTest, CancelStopsTheJobAndTheSourceStartsOver) {
    TempDir out;
    RecoverJob job;
    StopFlag stop {0};
    job.stop = &stop;
    FillCarvedJob(job, {{0, 2, u"big.bin", 500000}, {0, 2, u"next.bin", 10}}, out.path().string());
    class Canceller : public CRecoverProgress {
    public:
        Canceller(CVolume* v, StopFlag* f) : CRecoverProgress(v, nullptr, true), flag(f) {}
        WalkResult OnProgress(uint32_t c, uint64_t s) override {
            flag->store(1);
            return CRecoverProgress::OnProgress(c, s);
        }
        StopFlag* flag;
    } p(&vol, &stop);
    EXPECT_EQ(RecoverThread(job, &p), RecoverResult::Stopped);
    EXPECT_EQ(std::filesystem::file_size(out.file("big.bin.partial")), vol.ClusterSize()) << "the part written is kept";
    EXPECT_FALSE(std::filesystem::exists(out.file("big.bin"))) << "not under the name of a whole file";
    EXPECT_FALSE(std::filesystem::exists(out.file("next.bin")));
    auto records = p.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_STREQ(RecoverStatusName(records[0]), "failed");
    EXPECT_EQ(records[0].path, out.file("big.bin.partial"));
    EXPECT_NE(records[0].status.find("kept as big.bin.partial"), std::string::npos) << records[0].status;
    RecoverItem first;
    ASSERT_TRUE(job.getNextItem(true, first));
    EXPECT_EQ(first.name, u"big.bin");
}

TEST_F(RecoverJobTest, EmptySelectionEndsAtOnePercentHundred) {
    TempDir out;
    RecoverJob job;
    FillCarvedJob(job, {}, out.path().string());
    CountRecoverySize(job);
    CRecoverProgress p(&vol, nullptr, true);
    EXPECT_EQ(RecoverThread(job, &p), RecoverResult::Ok);
    RecoverCounters c = p.Snapshot();
    EXPECT_EQ(c.filesStarted + c.foldersStarted + c.filesDone + c.foldersDone, 0);
    EXPECT_EQ(c.totalPercent, 100);
}

TEST_F(RecoverJobTest, NestedItemsCountTheirOwnBytes) {
    // A folder holding two files: the children begin and end inside the
    // folder, so each item's byte count must start where that item began.
    TempDir out;
    CRecoverProgress progress(&vol, nullptr, false);
    progress.SetTotalSize(1500);
    auto file = [&](uint64_t id, const std::string& name, uint32_t bytes) {
        std::string path = out.file(name);
        ASSERT_EQ(progress.OnItemBegin(id, path, false, false), RecoverResult::Ok);
        progress.OnItemSize(id, false, false, bytes);
        progress.OnFileBegin(path, bytes);
        progress.OnProgress(bytes, bytes);
        progress.OnFileEnd(path, true);
        EXPECT_EQ(progress.OnItemEnd(id, path, false, false, RecoverResult::Ok), RecoverResult::Ok);
    };
    std::string folder = out.file("tree");
    ASSERT_EQ(progress.OnItemBegin(7, folder, true, false), RecoverResult::Ok);
    file(8, "one.bin", 1000);
    file(9, "two.bin", 500);
    EXPECT_EQ(progress.OnItemEnd(7, folder, true, false, RecoverResult::Ok), RecoverResult::Ok);
    std::map<uint64_t, uint64_t> bytes;
    for (const auto& r : progress.TakeRecords()) bytes[r.id] = r.bytes;
    EXPECT_EQ(bytes, (std::map<uint64_t, uint64_t>{{7, 1500}, {8, 1000}, {9, 500}}));
    const RecoverCounters c = progress.Snapshot();
    EXPECT_EQ(c.recoveredBytes, 1500u);  // the files' bytes, not counted again for their folder
    EXPECT_EQ(c.totalPercent, 100);
}

TEST_F(RecoverJobTest, AFileThatOutgrowsItsAnnouncedSizeFailsAsCorrupt) {
    // The backstop behind every parser bound: more data than announced stops the item.
    TempDir out;
    CRecoverProgress progress(&vol, nullptr, false);
    std::string path = out.file("runaway.bin");
    ASSERT_EQ(progress.OnItemBegin(3, path, false, false), RecoverResult::Ok);
    progress.OnFileBegin(path, 1000);
    EXPECT_EQ(progress.OnProgress(1000, 1000), WalkResult::Continue);
    EXPECT_EQ(progress.OnProgress(1, 1001), WalkResult::Error);
    progress.OnItemEnd(3, path, false, false, RecoverResult::Failed);
    const auto records = progress.TakeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_STREQ(RecoverStatusName(records[0]), "failed");
    EXPECT_NE(records[0].status.find("more data than the item's size"), std::string::npos) << records[0].status;
}

TEST(SourceProtection, LastsAsLongAsAVolumeHasTheSourceOpen) {
    TempDir d;
    const std::string source = d.file("source.img");
    testutil::MustRun("mkfs.fat -C -F 12 " + testutil::Quote(source) + " 1024 >/dev/null");
    {
        CFatVolume first, second;
        ASSERT_TRUE(first.Initialize(source));
        ASSERT_TRUE(second.Initialize(source));
        COutputFile out;
        EXPECT_EQ(out.Create(source, true), EPERM);
        { CFatVolume gone; ASSERT_TRUE(gone.Initialize(source)); }
        EXPECT_EQ(out.Create(source, true), EPERM);  // still open twice
    }
    // Every volume is gone: the file (or a new one that takes its inode
    // number) is an ordinary destination again.
    COutputFile out;
    EXPECT_EQ(out.Create(source, true), 0);
}

TEST(OutputNamesTest, HostileNamesStayInsideTheDestination) {
    EXPECT_EQ(SanitizeName(u".."), "__");
    EXPECT_EQ(SanitizeName(u"."), "_");
    EXPECT_EQ(SanitizeName(u"../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(SanitizeName(u"a\\b"), "a_b");
    EXPECT_EQ(SanitizeName(u"what?*<>|.txt"), "what_____.txt");
    EXPECT_EQ(SanitizeName(std::u16string(u"x\0y", 3)), "x_y");
    EXPECT_EQ(SanitizeName(u""), "_");
    EXPECT_EQ(NumberedConflictName("/d/archive", 2), "/d/archive (2)");
    EXPECT_EQ(NumberedConflictName("/d/old.files/readme", 2), "/d/old.files/readme (2)");
    EXPECT_EQ(NumberedConflictName("/d/report.doc", 1234), "/d/report (1234).doc");
    EXPECT_EQ(UnderscoreNumberedName("/d/_ILE.TAR.GZ", 1), "/d/_ILE_1.TAR.GZ");
    // What a destination accepts: Windows characters and endings on FAT,
    // exFAT and NTFS; 255 bytes everywhere, cut on a character and keeping
    // the extension.
    const NameRules posix, windows {true, 255};
    const std::string cjk100 = [] {
        std::string s;
        for (int i = 0; i < 100; ++i) s += "\xE6\x96\x87";
        return s;
    }();
    const struct {
        std::string name;
        const NameRules& rules;
        std::string want;
    } names[] = {
        {"a:b \"c\".txt", posix, "a:b \"c\".txt"},
        {"a:b \"c\".txt", windows, "a_b _c_.txt"},
        {"dots.", windows, "dots_"},
        {"trailing ", windows, "trailing_"},
        {"?ile.txt", windows, "_ile.txt"},
        {std::string(255, 'n'), posix, std::string(255, 'n')},
    };
    for (const auto& n : names) EXPECT_EQ(DestinationName(n.name, n.rules), n.want) << n.name;
    for (const NameRules* rules : {&posix, &windows}) {
        const std::string shortened = DestinationName(cjk100 + ".jpeg", *rules);
        EXPECT_EQ(shortened.size(), 240u + 9 + 5) << "80 whole characters, ~ and 8 hex digits, the extension";
        EXPECT_EQ(shortened.substr(0, 241), cjk100.substr(0, 240) + "~");
        EXPECT_EQ(shortened.substr(shortened.size() - 5), ".jpeg");
        EXPECT_NE(shortened, DestinationName(cjk100 + "x.jpeg", *rules)) << "long names that share their start stay apart";
    }
    EXPECT_EQ(DestinationName(std::string(300, 'n'), posix).size(), 255u);
    EXPECT_EQ(StreamFileName("report.doc", u"Zone.Identifier", posix), "report.doc:Zone.Identifier");
    EXPECT_EQ(StreamFileName("report.doc", u"Zone.Identifier", windows), "report.doc_Zone.Identifier");
    EXPECT_EQ(StreamFileName("a:b", u"s?", windows), "a_b_s_");
}

TEST(DestinationTest, ChecksOfAnImageSource) {
    TempDir dir;
    std::string img = dir.file("disk.img");
    testutil::WriteFileBytes(img, std::vector<uint8_t>(1024));
    DestinationCheck c = CheckDestination(dir.file("out/new/deeper"), img, 10);
    EXPECT_TRUE(c.status.ok()) << c.status.message();
    EXPECT_GT(c.freeBytes, 0u);
    EXPECT_FALSE(c.tooSmall);
    c = CheckDestination(dir.path().string(), img, UINT64_MAX / 2);
    EXPECT_TRUE(c.status.ok());
    EXPECT_TRUE(c.tooSmall);
    c = CheckDestination(img, img, 0);
    EXPECT_EQ(c.status.code(), StatusCode::InvalidArgument) << "a file is not a destination folder";
    EXPECT_EQ(CheckDestination("  ", img, 0).status.code(), StatusCode::InvalidArgument);
    EXPECT_TRUE(PrepareDestination(dir.file("out/new/deeper")).ok());
    EXPECT_EQ(PrepareDestination(img).code(), StatusCode::WriteError) << "a file is in the way";
}

}  // namespace
