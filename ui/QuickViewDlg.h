// CQuickViewDlg: the modal quick view over a list of items (the browse
// page's list, search or surface-scan results): the current item as a
// picture or as text, previous/next over the previewable items with
// wrap-around, view as text, and recover. Placement in LayoutQuickView.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "engine/recovery/Preview.h"
#include "ui/UsageStatistics.h"

class CImageControl;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

class CQuickViewDlg : public QDialog {
    Q_OBJECT
public:
    // sourcePath: the device or image the volume is read from (the recovery's check).
    CQuickViewDlg(CVolume& volume, std::string sourcePath, std::vector<preview::PreviewItem> items, size_t current,
                  UsageStatistics& statistics, QWidget* parent);
    ~CQuickViewDlg() override;

    // Shows the current item; false when nothing could be shown.
    bool ShowItem(bool asText);
    void Previous();
    void Next();
    void ViewAsText();
    void Recover();

    // What is shown (tests and screenshots).
    size_t Current() const { return m_current; }
    bool ShowingImage() const;
    bool ShowingText() const;
    QString Text() const;
    QString Message() const;
    const CImageControl& Image() const { return *m_image; }
    QPushButton* PreviousButton() const { return m_previous; }
    QPushButton* NextButton() const { return m_next; }
    QPushButton* RecoverButton() const { return m_recover; }

    void done(int result) override;

private:
    void Step(size_t position);

    CVolume& m_volume;
    std::string m_sourcePath;
    std::vector<preview::PreviewItem> m_items;
    size_t m_current;
    preview::Neighbours m_neighbours;
    UsageStatistics& m_statistics;
    QStackedWidget* m_stack = nullptr;
    QLabel* m_loading = nullptr;
    CImageControl* m_image = nullptr;
    QPlainTextEdit* m_text = nullptr;
    QPushButton* m_previous = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_asText = nullptr;
    QPushButton* m_recover = nullptr;
    QLabel* m_info = nullptr;  // the picture's size, or the item's
};
