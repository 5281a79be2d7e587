// The recovery dialogs on the FAT sample: the destination dialog, the
// progress dialog and its questions, driven the way a user would through the
// modal dialogs, against the files tools/make-fat-sample.sh wrote.
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "app/RecentDestinations.h"
#include "engine/index/FolderBrowse.h"
#include "engine/index/Source.h"
#include "ui/RecoverDlg.h"
#include "ui/RecoverProgressDlg.h"

using namespace uitest;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct SampleFile {
    const char* output;  // under the destination
    const char* name;    // as make-fat-sample.sh wrote it
    size_t size;
    int seed;
};
// The deleted items of the root and of /Docs; FAT keeps no first letter of a
// deleted short name.
constexpr SampleFile kRecovered[] = {
    {"_eadme.txt", "readme.txt", 700, 5},
    {"Trash/_otes.txt", "notes.txt", 500, 3},
    {"Docs/Budget 2026.xls", "budget.xls", 12000, 4},
};
constexpr uint64_t kSelectionBytes = 700 + 500 + 12000;

}  // namespace

class RecoverDlgTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void recoversTheDeletedItems();
    void asksAboutConflictsFromTheWorker();
    void cancelsWhileAQuestionIsOpen();
    void refusesADestinationThatIsNoFolder();
    void asksWhenTheSelectionDoesNotFit();
    void typedDestinationsAreUnderTheHomeFolder();

private:
    bool Run(const RecoverSelection& selection, std::deque<ModalDriver::Step> steps) {
        ModalDriver driver(std::move(steps));
        const bool accepted = RecoverFileGroup(nullptr, selection, m_statistics);
        if (!driver.AllDone()) qWarning("not every dialog step was reached");
        return accepted && driver.AllDone();
    }

    testutil::TempDir m_dir;
    OpenedSource m_source;
    RecoverSelection m_selection;
    UsageStatistics m_statistics;
};

void RecoverDlgTest::initTestCase() {
    uitest::IsolateSettings(m_dir);
    const std::string image = uitest::SampleImage(m_dir, "fat-sample");
    SourceError error;
    QVERIFY2(OpenVolumeSource(image, 0, true, m_source, error), error.message.c_str());
    IndexProgress progress;
    QVERIFY(m_source.volume->BuildIndex(&progress));
    CVolume& volume = *m_source.volume;

    m_selection.volume = &volume;
    m_selection.sourcePath = m_source.path;
    for (const auto& [folder, subfolder] : {std::pair<std::string, std::string> {"/", ""}, {"/Docs", "Docs"}}) {
        const FolderListing listing = ListFolder(volume, m_source.letter, Container {folder, true, 0, false}, true);
        for (const ListedItem& row : listing.items) {
            if (!row.deleted || row.virtualFolder) continue;
            RecoverItem item;
            item.id = row.info.id;
            item.attributes = row.info.attributes;
            item.name = row.info.name;
            item.size = row.info.size;
            if (row.IsFolder()) volume.GetFolderSize(row.info.id, item.size, nullptr, 0);
            item.subfolder = subfolder;
            m_selection.items.push_back(item);
        }
    }
    QCOMPARE(m_selection.items.size(), size_t(3));  // ?eadme.txt, Trash, Budget 2026.xls
}

void RecoverDlgTest::recoversTheDeletedItems() {
    const std::string out = m_dir.file("out");
    DestinationSeen dest;
    ProgressSeen progress;
    QVERIFY(Run(m_selection, {FillDestination(out, &dest), RunProgress(&progress)}));

    QVERIFY(!dest.streamsShown);  // FAT: no named streams
    QVERIFY(dest.attributesShown && dest.attributesTicked);
    QCOMPARE(dest.counted, kSelectionBytes);
    QVERIFY2(dest.sizeStatus.contains("3 items"), qPrintable(dest.sizeStatus));

    for (const SampleFile& f : kRecovered)
        QVERIFY2(ReadAll(out + "/" + f.output) == uitest::SampleFileContent(f.name, f.size, f.seed), f.output);
    QCOMPARE(m_statistics.filesRecovered, uint64_t(3));
    QCOMPARE(m_statistics.bytesRecovered, kSelectionBytes);
    QVERIFY2(progress.rows.join("\n").contains("Files: all 3 recovered."), qPrintable(progress.rows.join("\n")));
    QCOMPARE(progress.prompts, 0);
    QVERIFY(!LoadRecentDestinations().empty());
    QCOMPARE(LoadRecentDestinations().front(), out);
}

void RecoverDlgTest::asksAboutConflictsFromTheWorker() {
    // The second run renames by the job's rule without asking; the third
    // meets those names too and asks, from the worker, on this thread.
    const std::string out = m_dir.file("again");
    ProgressSeen first, second, third;
    QVERIFY(Run(m_selection, {FillDestination(out, nullptr), RunProgress(&first)}));
    QVERIFY(Run(m_selection, {FillDestination(out, nullptr), RunProgress(&second)}));
    QVERIFY(Run(m_selection, {FillDestination(out, nullptr), RunProgress(&third)}));
    QCOMPARE(second.prompts, 0);
    QVERIFY(third.prompts >= 1);
    QVERIFY2(third.rows.join("\n").contains("Skipped: 2"), qPrintable(third.rows.join("\n")));
    QVERIFY(std::filesystem::exists(out + "/Docs/Budget 2026 (2).xls"));
    QCOMPARE(ReadAll(out + "/_eadme_1.txt"), uitest::SampleFileContent("readme.txt", 700, 5));
}

void RecoverDlgTest::cancelsWhileAQuestionIsOpen() {
    // The worker waits on the first question while Cancel is pressed: the
    // answer no longer matters, no further question is asked and the job
    // ends cancelled.
    const std::string out = m_dir.file("again");
    ProgressSeen seen;
    int asked = 0;
    const ModalDriver::Step cancelAtQuestion = [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || box->objectName() != "recoverPrompt") return false;
        ++asked;
        auto* progress = qobject_cast<CRecoverProgressDlg*>(box->parentWidget());
        if (progress) ButtonOf(progress, "cancelButton")->click();
        Click(box->button(QMessageBox::Yes));
        return true;
    };
    RecoverSelection budget = m_selection;  // the file whose question comes first
    std::erase_if(budget.items, [](const RecoverItem& item) { return item.name != u"Budget 2026.xls"; });
    QCOMPARE(budget.items.size(), size_t(1));
    QVERIFY(Run(budget, {FillDestination(out, nullptr), cancelAtQuestion, RunProgress(&seen)}));
    QCOMPARE(asked, 1);
    QCOMPARE(seen.prompts, 0);
    QVERIFY2(seen.rows.join("\n").contains("The recovery was cancelled."), qPrintable(seen.rows.join("\n")));
    // The "yes" given after Cancel overwrote nothing: what the earlier runs wrote is whole.
    const SampleFile& f = kRecovered[2];
    QCOMPARE(ReadAll(out + "/Docs/Budget 2026 (2).xls"), uitest::SampleFileContent(f.name, f.size, f.seed));

    // Closing the window while the worker waits on a question asks first,
    // then drops the question, stops the job and closes by itself.
    const uint64_t filesBefore = m_statistics.filesRecovered;
    int closeAsked = 0;
    const ModalDriver::Step closeAtQuestion = [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || box->objectName() != "recoverPrompt") return false;
        if (auto* progress = qobject_cast<QDialog*>(box->parentWidget()))
            QTimer::singleShot(0, progress, &QDialog::reject);
        return true;
    };
    const ModalDriver::Step confirmClose = [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box || box->objectName() != "closeQuestion") return false;
        ++closeAsked;
        Click(box->button(QMessageBox::Yes));
        return true;
    };
    QVERIFY(Run(budget, {FillDestination(out, nullptr), closeAtQuestion, confirmClose}));
    QCOMPARE(closeAsked, 1);
    QCOMPARE(m_statistics.filesRecovered, filesBefore);
    QCOMPARE(ReadAll(out + "/Docs/Budget 2026 (2).xls"), uitest::SampleFileContent(f.name, f.size, f.seed));
}

void RecoverDlgTest::refusesADestinationThatIsNoFolder() {
    const UsageStatistics before = m_statistics;
    DestinationSeen dest;
    QString refusal;
    ModalDriver driver({FillDestination(m_source.path, nullptr), Answer(QMessageBox::Ok, &refusal),
                        CancelDestination(&dest)});
    QVERIFY(!RecoverFileGroup(nullptr, m_selection, m_statistics));
    QVERIFY(driver.AllDone());
    QVERIFY2(refusal.contains("is not a folder"), qPrintable(refusal));
    QVERIFY(dest.stillOpen);
    QCOMPARE(m_statistics.filesRecovered, before.filesRecovered);
}

void RecoverDlgTest::asksWhenTheSelectionDoesNotFit() {
    RecoverSelection carved;
    carved.volume = m_selection.volume;
    carved.sourcePath = m_selection.sourcePath;
    carved.carved = true;
    RecoverItem huge;
    huge.id = 2;
    huge.name = u"huge.bin";
    huge.size = uint64_t(1) << 62;  // more than any disk holds
    carved.items.push_back(huge);

    DestinationSeen first, again;
    QString question;
    ModalDriver driver({FillDestination(m_dir.file("carved"), &first), Answer(QMessageBox::No, &question),
                        CancelDestination(&again)});
    QVERIFY(!RecoverFileGroup(nullptr, carved, m_statistics));
    QVERIFY(driver.AllDone());
    QVERIFY2(question.contains("larger than the free space"), qPrintable(question));
    QVERIFY(again.stillOpen);
    QVERIFY(!first.streamsShown && !first.attributesShown);  // carved runs have neither option
    QVERIFY(!std::filesystem::exists(m_dir.file("carved") + "/huge.bin"));
}


// "~/x" and relative folders are taken from the home folder (never a folder
// named "~" where the program runs); a relative one is shown resolved and
// waits for a second OK. Without a file manager, "open the destination"
// says where the items are instead.
void RecoverDlgTest::typedDestinationsAreUnderTheHomeFolder() {
    const QByteArray realHome = qgetenv("HOME");
    const std::string home = m_dir.file("home");
    std::filesystem::create_directories(home);
    qputenv("HOME", QByteArray::fromStdString(home));
    const struct {
        const char* typed;
        std::string folder;
        bool relative;
        bool openFolder;  // leave "open the destination" ticked
    } cases[] = {
        {"~/tilde", home + "/tilde", false, true},
        {"  ~/spaced/../trimmed ", home + "/trimmed", false, false},
        {"relative", home + "/relative", true, false},
    };
    for (const auto& c : cases) {
        QString shownAgain, note, failure;
        bool selectable = false;
        ProgressSeen progress;
        std::deque<ModalDriver::Step> steps {FillDestination(c.typed, nullptr)};
        if (c.relative)
            steps.push_back([&](QWidget* modal) {
                auto* dlg = qobject_cast<CRecoverDlg*>(modal);
                if (!dlg || !dlg->findChild<QLineEdit*>("destination")->text().startsWith(QLatin1Char('/')))
                    return false;  // the first OK has not put the resolved folder in yet
                shownAgain = dlg->findChild<QLineEdit*>("destination")->text();
                note = dlg->findChild<QLabel*>("freeSpace")->text();
                Click(ButtonOf(dlg, "okButton"));
                return true;
            });
        if (c.openFolder) {
            steps.push_back([](QWidget* modal) {
                auto* dlg = qobject_cast<CRecoverProgressDlg*>(modal);
                if (!dlg || !ButtonOf(dlg, "closeButton")->isEnabled()) return false;
                dlg->findChild<QCheckBox*>("openDestination")->setChecked(true);
                Click(ButtonOf(dlg, "closeButton"));
                return true;
            });
            steps.push_back([&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                if (!box || box->objectName() != "openFolderFailed") return false;
                failure = box->text();
                selectable = box->textInteractionFlags().testFlag(Qt::TextSelectableByMouse);
                Click(box->button(QMessageBox::Ok));
                return true;
            });
        } else {
            steps.push_back(RunProgress(&progress));
        }
        QVERIFY2(Run(m_selection, std::move(steps)), c.typed);
        if (c.relative) {
            QCOMPARE(shownAgain, QString::fromStdString(c.folder));
            QVERIFY2(note.contains(QString::fromStdString(c.folder)), qPrintable(note));
        }
        if (c.openFolder) {
            QVERIFY2(failure.contains(QString::fromStdString(c.folder)), qPrintable(failure));
            QVERIFY(selectable);
        }
        for (const SampleFile& f : kRecovered)
            QVERIFY2(ReadAll(c.folder + "/" + f.output) == uitest::SampleFileContent(f.name, f.size, f.seed), f.output);
        QCOMPARE(LoadRecentDestinations().front(), c.folder);
    }
    QVERIFY(!std::filesystem::exists("~"));
    qputenv("HOME", realHome);
}

QTEST_MAIN(RecoverDlgTest)
#include "RecoverDlgTest.moc"
