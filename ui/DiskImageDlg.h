// File > Create disk image…: copies a drive or an image into a raw image
// file through the disk-image job (engine/recovery/DiskImager.h), the window
// face of `quarlix image`. The dialog names the source, the image and its
// rescue map, refuses what the command refuses (the image onto its source, a
// folder backed by the source, an existing image without its map), then runs
// the job with its progress on a timer: rescued and bad bytes, rate, time
// left, the phase, and a picture of the map. Stop leaves the map whole, so a
// later run goes on from it. At the end it says what could not be read and
// offers to open the image in the browse page.
#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <vector>

class CDiskImager;
struct GuiDrive;
class CRescueMapView;
class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;

// A source the dialog offers: a drive of the window or an image file.
struct DiskImageSource {
    QString caption;
    QString path;
};

// The sources of the window's drives, each once, by their captions.
std::vector<DiskImageSource> DiskImageSources(const std::vector<GuiDrive>& drives);

class CDiskImageDlg : public QDialog {
    Q_OBJECT
public:
    // sources: the drives the window knows; preselect: the path to choose first.
    CDiskImageDlg(QWidget* parent, const std::vector<DiskImageSource>& sources, const QString& preselect = {});
    ~CDiskImageDlg() override;

    // The fields (a source not in the list is added to it).
    void SetSource(const QString& path);
    void SetImagePath(const QString& path);
    void SetMapPath(const QString& path);
    void SetRetryBad(bool retry);
    QString Source() const;
    QString ImagePath() const;
    QString MapPath() const;

    // Checks the fields and starts the job; false with the refusal in Message().
    bool StartImaging();
    // Asks the running job to stop (it writes its map and ends).
    void StopImaging();
    bool Running() const;
    bool Finished() const { return m_finished; }
    // The refusal, the state while it runs, or the closing sentence.
    QString Message() const;
    // True when the dialog was closed with "Open the image".
    bool OpenImageRequested() const { return m_openImage; }
    const CRescueMapView& MapView() const { return *m_mapView; }

    // The image file proposed for a source: NAME.img in the home folder.
    static QString DefaultImagePath(const QString& source);

public slots:
    void done(int result) override;

private:
    void SourceChanged();
    void ImageChanged();
    void BrowseSource();
    void BrowseImage();
    void BrowseMap();
    // Refuses with the message shown; false.
    bool Refuse(const QString& message);
    void Tick();
    void Finish();

    QComboBox* m_source = nullptr;
    QLineEdit* m_image = nullptr;
    QLineEdit* m_map = nullptr;
    QCheckBox* m_retryBad = nullptr;
    QWidget* m_fields = nullptr;
    QLabel* m_message = nullptr;
    QGroupBox* m_progressBox = nullptr;
    QLabel* m_phase = nullptr;
    QProgressBar* m_bar = nullptr;
    QLabel* m_rescued = nullptr;
    QLabel* m_bad = nullptr;
    QLabel* m_rate = nullptr;
    QLabel* m_remaining = nullptr;
    CRescueMapView* m_mapView = nullptr;
    QPushButton* m_startButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    QPushButton* m_openButton = nullptr;  // made at the end
    QPushButton* m_closeButton = nullptr;
    QTimer* m_timer = nullptr;

    bool m_imageEdited = false;  // typed or chosen by the user: no longer follows the source
    bool m_mapEdited = false;    // no longer follows the image
    std::unique_ptr<CDiskImager> m_job;
    QString m_sourcePath;  // the source the job reads, made absolute
    QString m_imagePath;
    QString m_mapPath;
    bool m_started = false;
    bool m_finished = false;
    bool m_stopping = false;
    bool m_closeWhenFinished = false;
    int m_closeResult = 0;
    bool m_openImage = false;
};
