// The update check against a loopback HTTP server of the test's own (an
// ephemeral port on 127.0.0.1; no other address is ever contacted), the
// answers' rules, and the options dialog on the running log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QAction>
#include <QTest>
#include <atomic>
#include <mutex>
#include <thread>

#include "ModalDriver.h"
#include "UiTestSupport.h"
#include "app/Log.h"
#include "app/Profile.h"
#include "app/update/UpdateService.h"
#include "ui/MainFrame.h"
#include "ui/Help.h"
#include "ui/OptionsDlg.h"
#include "ui/StartUp.h"
#include "ui/Texts.h"
#include "ui/Help.h"
#include "ui/UpdateCheck.h"

using namespace uitest;

namespace {

// Answers every request with body (HTTP/1.0), or holds it without an answer.
class LoopbackServer {
public:
    LoopbackServer(std::string body, bool answer = true) : m_body(std::move(body)), m_answer(answer) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_fd, 8) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~LoopbackServer() {
        m_stop = true;
        m_thread.join();
        for (int fd : m_held) close(fd);
        close(m_fd);
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    int Requests() const { return m_requests.load(); }
    std::string LastRequest() {
        std::lock_guard<std::mutex> g(m_lock);
        return m_last;
    }

private:
    void Serve() {
        while (!m_stop) {
            pollfd p {m_fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const int c = accept(m_fd, nullptr, nullptr);
            if (c < 0) continue;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
                pollfd q {c, POLLIN, 0};
                if (poll(&q, 1, 2000) <= 0) break;
                const ssize_t n = read(c, buf, sizeof buf);
                if (n <= 0) break;
                request.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard<std::mutex> g(m_lock);
                m_last = request;
            }
            ++m_requests;
            if (!m_answer) {
                m_held.push_back(c);  // never answered
                continue;
            }
            const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                      std::to_string(m_body.size()) + "\r\n\r\n" + m_body;
            [[maybe_unused]] const ssize_t w = write(c, reply.data(), reply.size());
            close(c);
        }
    }

    std::string m_body;
    bool m_answer;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop {false};
    std::atomic<int> m_requests {0};
    std::mutex m_lock;
    std::string m_last;
    std::vector<int> m_held;
    std::thread m_thread;
};

// Clicks the update dialog's download command, or answers a message box with OK.
ModalDriver::Step Download(QString* headline) {
    return [=](QWidget* modal) {
        auto* dlg = qobject_cast<CUpdateDlg*>(modal);
        if (!dlg) return false;
        *headline = dlg->Headline();
        Click(dlg->DownloadButton());
        return true;
    };
}
ModalDriver::Step Ok(QString* text) { return Answer(QMessageBox::Ok, text); }

}  // namespace

class UpdateTest : public QObject {
    Q_OBJECT
    testutil::TempDir m_dir;
    std::unique_ptr<CMainFrame> m_window;
    QStringList m_opened;

    CUpdateChecker& Checker() { return m_window->UpdateChecker(); }
    bool WaitIdle(int ms = 20000) { return uitest::WaitFor([&] { return !Checker().Busy(); }, ms); }

private slots:
    void initTestCase() {
        uitest::IsolateSettings(m_dir);
        PrepareSettings();
        m_window = std::make_unique<CMainFrame>(MainFrameOptions::ImagesOnly());
        m_window->show();
        Checker().SetOpener([this](const QString& url) {
            m_opened << url;
            return true;
        });
    }

    void answersAreParsedAsTheServiceSendsThem() {
        const struct {
            const char* body;
            bool ok;
            const char* download;
            uint32_t version;
        } cases[] = {
            {"NOUPDATES", true, "", 0},
            {"x,20300", true, "x", 20300},
            {"https://a.invalid/p?x=1,y=2,20300", true, "https://a.invalid/p?x=1,y=2", 20300},
            {"u, -5", true, "u", 0},
            {"u,  42abc", true, "u", 42},
            {"", false, "", 0},
        };
        for (const auto& c : cases) {
            const update::Answer a = update::ParseAnswer(c.body);
            QCOMPARE(a.ok, c.ok);
            QCOMPARE(a.download, std::string(c.download));
            QCOMPARE(a.newerVersion, c.version);
        }
        QCOMPARE(update::VersionText(20204), std::string("v.2.02.04"));
        QCOMPARE(update::VersionNumber("2.3.1"), 20301u);
        QCOMPARE(update::VersionNumber(""), 20201u);
        for (const char* bad : {"x", "file:///etc/passwd", "/usr/bin/xterm", "https://", "http://a b", "javascript:1",
                                "https://a.invalid/\n"})
            QVERIFY2(!update::IsWebUrl(bad), bad);
        QVERIFY(update::IsWebUrl("https://example.invalid/get"));
    }

    void modeTwoSendsNothingAutomaticallyAndNoUpdatesIsSaidOnlyWhenAsked() {
        LoopbackServer server("NOUPDATES");
        qputenv("QUARLIX_UPDATE_URL", QByteArray::fromStdString(server.Base()));
        CXMLProfile::Instance().WriteInt("Update", "Type", 2);
        QVERIFY(!Checker().Start(true));
        QTest::qWait(200);
        QCOMPARE(server.Requests(), 0);
        QString said;
        ModalDriver driver({Ok(&said)});
        QVERIFY(Checker().Start(false));
        QVERIFY(WaitIdle());
        QCOMPARE(server.Requests(), 1);
        QCOMPARE(said, UiText(texts::kUpdateNone));
        const std::string request = server.LastRequest();
        QVERIFY(request.rfind("GET /scr/check_update.php?current_version=", 0) == 0);
        QVERIFY(request.find("User-Agent: QuarlixRecovery\r\n") != std::string::npos);
        // Mode 1: the automatic check asks, and says nothing.
        CXMLProfile::Instance().WriteInt("Update", "Type", 1);
        QVERIFY(Checker().Start(true));
        QVERIFY(WaitIdle());
        QCOMPARE(server.Requests(), 2);
        QVERIFY(Checker().LastMessage().isEmpty());
    }

    void aNewerVersionOffersOnlyAWebPage() {
        const struct {
            const char* body;
            const char* opened;  // "" = refused, and the failed query is said
        } cases[] = {
            {"x,20300", ""},
            {"https://example.invalid/get,20300", "https://example.invalid/get"},
            {"https://example.invalid/a,b,20300", "https://example.invalid/a,b"},
            {"file:///etc/passwd,20300", ""},
        };
        for (const auto& c : cases) {
            LoopbackServer server(c.body);
            qputenv("QUARLIX_UPDATE_URL", QByteArray::fromStdString(server.Base()));
            m_opened.clear();
            QString headline, said;
            std::deque<ModalDriver::Step> steps {Download(&headline)};
            if (!*c.opened) steps.push_back(Ok(&said));
            ModalDriver driver(steps);
            QVERIFY(Checker().Start(false));
            QVERIFY(WaitIdle());
            QVERIFY(driver.AllDone());
            QVERIFY(headline.endsWith(QStringLiteral(" v.2.03.00")));
            if (*c.opened) {
                QCOMPARE(m_opened, QStringList {QString::fromLatin1(c.opened)});
            } else {
                QVERIFY(m_opened.isEmpty());
                QCOMPARE(said, UiText(texts::kUpdateFailed));
            }
        }
    }

    void failuresAndASecondCheck() {
        // A server that never answers: the check ends at its timeout, busy cleared.
        {
            LoopbackServer silent("", false);
            qputenv("QUARLIX_UPDATE_URL", QByteArray::fromStdString(silent.Base()));
            Checker().SetTimeout(1);
            QString said;
            // The failure's box has Help, which opens the topic on updates.
            ModalDriver driver({[&](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                if (!box) return false;
                said = box->text();
                Click(box->button(QMessageBox::Help));
                return true;
            }});
            auto* menuItem = m_window->findChild<QAction*>(QStringLiteral("checkUpdates"));
            QVERIFY(menuItem && menuItem->isEnabled());
            QVERIFY(Checker().Start(false));
            QVERIFY(!Checker().Start(false));  // a manual check while one runs does nothing
            // While it runs: the busy cursor, the menu command off.
            QVERIFY(QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor);
            QVERIFY(!menuItem->isEnabled());
            QVERIFY(WaitIdle(8000));
            QCOMPARE(silent.Requests(), 1);
            QCOMPARE(said, UiText(texts::kUpdateFailed));
            QVERIFY(!QApplication::overrideCursor() && menuItem->isEnabled());
            QWidget* help = nullptr;
            QVERIFY(uitest::WaitFor([&] {
                help = m_window->findChild<QWidget*>(QStringLiteral("helpTopic"));
                return help && help->isVisible();
            }, 5000));
            QCOMPARE(help->property("topic").toString(), QStringLiteral("AutoUpdate"));
            QVERIFY(!HelpTopicText(QStringLiteral("AutoUpdate")).isEmpty());
            help->close();
        }
        // An empty answer is a failed query.
        LoopbackServer empty("");
        qputenv("QUARLIX_UPDATE_URL", QByteArray::fromStdString(empty.Base()));
        QString said;
        ModalDriver driver({Ok(&said)});
        QVERIFY(Checker().Start(false));
        QVERIFY(WaitIdle());
        QCOMPARE(said, UiText(texts::kUpdateFailed));
        Checker().SetTimeout(update::kDefaultTimeoutSeconds);
    }

    void optionsApplyToTheRunningLogAndSurviveARestart() {
        COptionsDlg dialog(Checker(), m_window.get());
        dialog.General().LogType()->setCurrentIndex(2);
        dialog.General().SizeLimited()->setChecked(true);
        dialog.General().MaxLogSize()->setValue(3);
        dialog.General().WizardAtStartUp()->setChecked(false);
        dialog.Update().Manual()->setChecked(true);
        dialog.Apply();
        QCOMPARE(CLogFile::Instance().Level(), 1);
        QCOMPARE(CLogFile::Instance().MaxSize(), int64_t(3 * 102400));
        // A restart: the profile read again from its file, the log opened from it.
        CLogFile::Instance().SetLevel(0);
        CLogFile::Instance().SetMaxSize(CLogFile::kDefaultMaxSize);
        const std::string folder = PrepareSettings();
        QVERIFY(OpenGuiLog(folder));
        QCOMPARE(CLogFile::Instance().Level(), 1);
        QCOMPARE(CLogFile::Instance().MaxSize(), int64_t(3 * 102400));
        COptionsDlg again(Checker(), m_window.get());
        QCOMPARE(again.General().LogType()->currentIndex(), 2);
        QCOMPARE(again.General().MaxLogSize()->value(), 3);
        QVERIFY(!again.General().WizardAtStartUp()->isChecked());
        QVERIFY(again.Update().Manual()->isChecked());
        // The check command is off while a check runs.
        LoopbackServer silent("", false);
        qputenv("QUARLIX_UPDATE_URL", QByteArray::fromStdString(silent.Base()));
        Checker().SetTimeout(1);
        QString said;
        ModalDriver driver({Ok(&said)});
        Click(again.Update().CheckButton());
        QVERIFY(uitest::WaitFor([&] { return Checker().Busy(); }, 2000));
        QVERIFY(!again.Update().CheckButton()->isEnabled());
        QVERIFY(WaitIdle(8000));
        QVERIFY(uitest::WaitFor([&] { return again.Update().CheckButton()->isEnabled(); }, 2000));
        Checker().SetTimeout(update::kDefaultTimeoutSeconds);
        CLogFile::Instance().Close();
    }

    // A build without a service (as distribution packages are made) and an empty
    // QUARLIX_UPDATE_URL look alike: no check starts, and the options page says it is off.
    void withoutAServiceNothingStartsAndNothingIsOffered() {
        qputenv("QUARLIX_UPDATE_URL", QByteArray());
        QVERIFY(!update::CheckAvailable());
        QVERIFY(!Checker().Start(true));
        QVERIFY(!Checker().Start(false));
        QVERIFY(!Checker().Busy());
        COptionsDlg off(Checker(), m_window.get());
        QVERIFY(off.Update().OffNote());
        for (QWidget* offered : std::initializer_list<QWidget*> {off.Update().Automatic(), off.Update().Manual(),
                                                                 off.Update().CheckButton()})
            QVERIFY(offered->isHidden());
        qputenv("QUARLIX_UPDATE_URL", "http://127.0.0.1:9");
        COptionsDlg on(Checker(), m_window.get());
        QVERIFY(!on.Update().OffNote());
        QVERIFY(!on.Update().CheckButton()->isHidden());
    }
};

QTEST_MAIN(UpdateTest)
#include "UpdateTest.moc"
