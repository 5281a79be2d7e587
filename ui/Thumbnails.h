// Thumbnails of the pictures in the window's lists: read from the item's own
// bytes as recovery reads them (a deleted file's overwritten parts as zeros),
// decoded on worker threads, kept while the window runs under a memory cap.
// Only what a view asks for is made: the rows it painted, newest request
// first; rows scrolled past are dropped from the queue. One read at a time
// goes to the source (a USB stick reads best in one stream); decoding runs
// on as many threads as the machine has cores.
#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QThreadPool>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include "engine/recovery/Preview.h"

class CVolume;

// Longest side of a thumbnail, in pixels.
inline constexpr int kThumbnailSide = 128;
// Largest file read whole for a thumbnail (a carved find: preview::kCarvedLimit).
inline constexpr uint64_t kThumbnailReadLimit = 32ULL * 1024 * 1024;
// Bytes read first: the header, the Exif block with its embedded preview
// (an Exif segment is at most 64 KiB).
inline constexpr uint32_t kThumbnailHeadBytes = 64 * 1024;
// Most bytes a size probe reads for a header that does not tell at once.
inline constexpr uint64_t kProbeLimit = 1024 * 1024;

// A picture's thumbnail from its bytes: a JPEG decoded straight to the small
// size (the decoder's own 1/2, 1/4, 1/8 scaling), any other format through
// DecodeImage and scaled. full is the picture's own size; a null image when
// nothing decodes. Safe on any thread.
QImage DecodeThumbnail(const uint8_t* data, size_t size, int side, QSize* full = nullptr);
// The size a picture's header gives (JPEG frame header, else the decoder's
// header reading), invalid when the bytes do not tell.
QSize PictureSize(const uint8_t* data, size_t size);

// Names the window makes thumbnails of: the preview's picture names and the
// camera raws that carry an embedded JPEG (CR2, NEF, ARW, DNG, ...).
bool IsThumbnailName(const QString& name);

struct ThumbnailRequest {
    QString key;  // unique per item and volume (ThumbnailKey)
    CVolume* volume = nullptr;
    preview::PreviewItem item;
    // The embedded preview may stand for the picture only while nothing of
    // it was overwritten: a partly overwritten file shows what of its own
    // bytes decodes.
    bool useEmbedded = true;
};
QString ThumbnailKey(const CVolume* volume, const preview::PreviewItem& item);

class CThumbnailLoader : public QObject {
    Q_OBJECT
public:
    explicit CThumbnailLoader(QObject* parent = nullptr, qint64 memoryCap = 64LL * 1024 * 1024);
    ~CThumbnailLoader() override;

    enum class State { None, Queued, Ready, Failed };
    // The thumbnail when it is made (valid until the next event loop turn).
    const QImage* Find(const QString& key) const;
    State StateOf(const QString& key) const;
    // The picture's own size once a thumbnail or a probe read it (invalid before).
    QSize FullSize(const QString& key) const;
    // Whether the thumbnail came from the picture's embedded preview.
    bool FromEmbedded(const QString& key) const;

    // The thumbnails a view shows now, in the order wanted: they replace the
    // requests still waiting (a probe waits behind them).
    void Want(std::vector<ThumbnailRequest> requests);
    // Sizes only (a filter by width and height), read from each picture's
    // header after every wanted thumbnail.
    void Probe(std::vector<ThumbnailRequest> requests);
    // Waits for the reads on its way and forgets everything (a volume is
    // about to go away).
    void Release();
    // Requests waiting or on their way (the tests' wait).
    int Busy() const;
    // Thumbnails made and how many read an embedded preview.
    int Made() const { return m_made; }
    int MadeFromEmbedded() const { return m_madeEmbedded; }

signals:
    // A thumbnail or a size became known (the window's thread).
    void ready(const QString& key);

private:
    struct Result {
        QImage image;
        QSize full;
        bool failed = false;
        bool embedded = false;
        bool probe = false;
    };
    struct Job {
        ThumbnailRequest request;
        bool probe = false;
    };
    void StartWorkers();
    void Work();
    Result Make(const Job& job);
    void Store(const QString& key, Result result);

    QThreadPool m_pool;
    mutable std::mutex m_lock;
    std::condition_variable m_idle;
    std::deque<Job> m_wanted, m_probes;
    std::set<QString> m_inFlight;
    std::set<QString> m_delivered;  // made, on its way to Store on the window's thread
    int m_workers = 0;
    std::mutex m_readLock;  // one read at a time from the source
    uint64_t m_generation = 0;

    // The window's thread only.
    QCache<QString, QImage> m_cache;
    QHash<QString, QSize> m_sizes;
    QHash<QString, bool> m_embedded;
    std::set<QString> m_failed;
    std::set<QString> m_unsized;  // probed, and the header did not tell
    int m_made = 0;
    int m_madeEmbedded = 0;
};
