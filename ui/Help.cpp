#include "ui/Help.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "ui/Texts.h"

QString HelpTopicText(const QString& topic) {
    if (topic == QLatin1String("AutoUpdate"))
        return QObject::tr(
            "<h3>Checking for updates</h3>"
            "<p>The update check asks the update service whether a newer version exists. It sends the version "
            "number of this program and nothing else.</p>"
            "<p><b>When the check fails</b>, the computer could not reach the service: there is no network "
            "connection, a proxy or firewall blocks it, or the service does not answer. Check the connection "
            "(and the proxy variables http_proxy and https_proxy), then try again with <i>Help → Check for "
            "updates</i>. Nothing on your drives depends on the check.</p>"
            "<p><b>Automatic checks</b> run once when the program starts. Turn them off in <i>File → Options → "
            "Update</i>; the manual check stays.</p>"
            "<p>The address of the service comes from the environment variable QUARLIX_UPDATE_URL; builds made "
            "without a service never send anything and do not offer the check.</p>");
    if (topic == QLatin1String("Overview"))
        return QObject::tr(
            "<h3>%1</h3>"
            "<p><b>Browse</b> shows the folders of a drive with their deleted files and folders beside the "
            "existing ones; a red mark is a deleted item, the Data status bar shows how much of it other files "
            "have overwritten. <b>Search</b> finds deleted files by name, size and date. <b>Surface scan</b> "
            "looks in the free space for files whose folder entries are gone.</p>"
            "<p>Select items and choose <i>Actions → Recover…</i> to copy them to another drive. Sources are "
            "only ever read.</p>")
            .arg(UiText(texts::kCaption));
    return {};
}

void OpenHelpTopic(QWidget* parent, const QString& topic) {
    const QString text = HelpTopicText(topic);
    auto* dialog = new QDialog(parent);
    dialog->setObjectName(QStringLiteral("helpTopic"));
    dialog->setProperty("topic", text.isEmpty() ? QStringLiteral("Overview") : topic);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QObject::tr("%1 Help").arg(UiText(texts::kCaption)));
    auto* layout = new QVBoxLayout(dialog);
    auto* browser = new QTextBrowser(dialog);
    browser->setObjectName(QStringLiteral("helpText"));
    browser->setHtml(text.isEmpty() ? HelpTopicText(QStringLiteral("Overview")) : text);
    layout->addWidget(browser);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    layout->addWidget(buttons);
    dialog->resize(520, 360);
    dialog->show();
    dialog->raise();
}

QString AboutText() {
    return QObject::tr("<h3>%1 %2</h3>"
                       "<p>Finds and restores deleted files on NTFS, FAT and exFAT drives and disk images, "
                       "without ever writing to them.</p>"
                       "<p>Licensed under the MIT License. Copyright © 2026 The Quarlix Recovery developers.</p>")
        .arg(UiText(texts::kCaption), QStringLiteral(QUARLIX_VERSION));
}

void ShowAboutBox(QWidget* parent) {
    QMessageBox box(parent);
    box.setObjectName(QStringLiteral("aboutBox"));
    box.setWindowTitle(QObject::tr("About %1").arg(UiText(texts::kCaption)));
    box.setIconPixmap(QIcon(QStringLiteral(":/icons/browse.svg")).pixmap(48, 48));
    box.setTextFormat(Qt::RichText);
    box.setText(AboutText());
    box.exec();
}
