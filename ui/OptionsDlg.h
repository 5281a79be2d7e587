// The options dialog: the General page (logging, its level and size cap,
// the wizard at start-up, the index cache and its cleaning) and the Update
// page (automatic check or not, and a check now). Apply writes the profile,
// saves it and applies the logging settings to the running log.
#pragma once

#include <QDialog>
#include <QTimer>

class CUpdateChecker;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;

class COptionsGeneralDlg : public QWidget {
    Q_OBJECT
public:
    explicit COptionsGeneralDlg(QWidget* parent);
    void OnApplyChanges();
    QComboBox* LogType() const { return m_logType; }
    QCheckBox* SizeLimited() const { return m_limited; }
    QSpinBox* MaxLogSize() const { return m_maxSize; }
    QCheckBox* WizardAtStartUp() const { return m_wizard; }
    QPushButton* CleanCacheButton() const { return m_clean; }
    QString CacheStatus() const;

private:
    QComboBox* m_logType = nullptr;
    QCheckBox* m_limited = nullptr;
    QSpinBox* m_maxSize = nullptr;
    QCheckBox* m_wizard = nullptr;
    QLabel* m_cacheStatus = nullptr;
    QPushButton* m_clean = nullptr;
};

class COptionsUpdateDlg : public QWidget {
    Q_OBJECT
public:
    COptionsUpdateDlg(CUpdateChecker& checker, QWidget* parent);
    void OnApplyChanges();
    QRadioButton* Automatic() const { return m_automatic; }
    QRadioButton* Manual() const { return m_manual; }
    QPushButton* CheckButton() const { return m_check; }
    // What the page says instead of offering the check when it is off in
    // this build; null when the check is offered.
    QLabel* OffNote() const { return m_off; }

private:
    CUpdateChecker& m_checker;
    QLabel* m_off = nullptr;
    QRadioButton* m_automatic = nullptr;
    QRadioButton* m_manual = nullptr;
    QPushButton* m_check = nullptr;
    QTimer m_poll;  // 100 ms: the check command comes back when the check ends
};

class COptionsDlg : public QDialog {
    Q_OBJECT
public:
    COptionsDlg(CUpdateChecker& checker, QWidget* parent);
    void Apply();
    void accept() override;
    COptionsGeneralDlg& General() const { return *m_general; }
    COptionsUpdateDlg& Update() const { return *m_update; }
    // Shows the page (0 general, 1 update).
    void ShowPage(int page);

private:
    COptionsGeneralDlg* m_general = nullptr;
    COptionsUpdateDlg* m_update = nullptr;
    class QTabWidget* m_tabs = nullptr;
};
