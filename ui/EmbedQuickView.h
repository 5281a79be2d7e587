// CEmbedQuickView: the browse page's preview pane. The window thread hands
// it the selected item (SetItem opens the file); a worker thread of its own
// reads and decodes it and the window thread shows the result. A newer
// selection replaces a pending one, and a result that a newer selection
// overtook is dropped, so a fast run of selections shows the last one only.
#pragma once

#include <QImage>
#include <QWidget>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/volume/Volume.h"

class CImageControl;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

class CEmbedQuickView : public QWidget {
    Q_OBJECT
public:
    explicit CEmbedQuickView(QWidget* parent);
    ~CEmbedQuickView() override;

    // The item to show: opened by id when it is not 0, else by path; no
    // volume (or a file that cannot be opened) shows the placeholder.
    void SetItem(CVolume* volume, uint32_t id, const std::u16string& path, const QString& displayText);
    // Drops the pending item and waits until the worker holds no file (the
    // volume is about to go away).
    void Release();
    // The worker runs while the pane lives; the pane works only while enabled
    // (shown): a disabled pane keeps the last item pending.
    void SetPaneEnabled(bool enabled);

    // What is shown (tests and screenshots).
    bool ShowingImage() const;
    bool ShowingText() const;
    bool ShowingPlaceholder() const;
    // A message in the place of the content (binary, a damaged picture, unreadable).
    bool ShowingMessage() const;
    QString Message() const;
    // The button under "No preview for this kind of file." that asks for the hex view.
    QPushButton* HexViewButton() const { return m_hexButton; }
    QString Text() const;
    QString Caption() const;
    const CImageControl& Image() const { return *m_image; }
    // Items handed to the pane, and results shown (tests).
    uint64_t ItemsSet() const { return m_generation; }
    uint64_t ResultsShown() const { return m_resultsShown; }

signals:
    // The file name shown, or "" when nothing is.
    void shown(const QString& fileName);
    // The user asked to see the shown file byte by byte.
    void hexViewRequested();

private:
    struct Result {
        uint64_t generation = 0;
        bool selected = false; // an item was handed in (placeholder only without one)
        bool any = false;      // a file was read
        bool image = false;
        QString message;       // shown instead of the content when not empty
        QImage picture;
        std::string text;
        QString name;
        QString display;
    };
    void Start();
    void Stop();
    void Worker();
    void Present(const Result& result);

    QStackedWidget* m_stack = nullptr;
    QLabel* m_placeholder = nullptr;
    QLabel* m_message = nullptr;
    QWidget* m_messagePage = nullptr;
    QPushButton* m_hexButton = nullptr;
    QLabel* m_caption = nullptr;
    CImageControl* m_image = nullptr;
    QPlainTextEdit* m_text = nullptr;
    uint64_t m_resultsShown = 0;

    std::mutex m_lock;  // guards what follows
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    bool m_event = false;  // manual reset: set by SetItem, cleared by the worker
    bool m_exit = false;
    bool m_enabled = true;
    bool m_working = false;
    std::unique_ptr<IGenericFile> m_pending;
    bool m_pendingImage = false;
    bool m_pendingSelected = false;
    QString m_pendingName;
    QString m_pendingDisplay;
    uint64_t m_generation = 0;  // bumped by every SetItem
    std::thread m_thread;
};
