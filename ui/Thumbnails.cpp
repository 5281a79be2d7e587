#include "ui/Thumbnails.h"

#include <QBuffer>
#include <QByteArray>
#include <QFileInfo>
#include <QImageReader>
#include <QMetaObject>
#include <algorithm>

#include "engine/formats/EmbeddedPictures.h"
#include "ui/ImageDecode.h"

namespace {

bool IsJpeg(const uint8_t* data, size_t size) { return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF; }

// Embedded previews larger than this are not worth reading for a thumbnail
// (a raw's full-size preview): the picture's own decode is as quick.
constexpr uint64_t kEmbeddedLimit = 2 * 1024 * 1024;

}  // namespace

QImage DecodeThumbnail(const uint8_t* data, size_t size, int side, QSize* full) {
    if (full) *full = QSize();
    if (!data || size == 0 || side <= 0) return {};
    QImage image;
    if (IsJpeg(data, size)) {
        QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "jpeg");
        const QSize own = reader.size();
        if (own.isValid() && own.width() <= kMaxDecodedSide && own.height() <= kMaxDecodedSide &&
            static_cast<int64_t>(own.width()) * own.height() <= kMaxDecodedPixels) {
            if (full) *full = own;
            if (own.width() > side || own.height() > side)
                reader.setScaledSize(own.scaled(side, side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
            image = reader.read();
            if (!image.isNull()) return image;
        }
    }
    image = DecodeImage(data, size);
    if (image.isNull()) return {};
    if (full) *full = image.size();
    if (image.width() > side || image.height() > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

QSize PictureSize(const uint8_t* data, size_t size) {
    if (!data || size == 0) return {};
    uint32_t width = 0, height = 0;
    if (preview::JpegDimensions(data, size, width, height) && width > 0 && height > 0)
        return QSize(static_cast<int>(std::min<uint32_t>(width, INT32_MAX)),
                     static_cast<int>(std::min<uint32_t>(height, INT32_MAX)));
    if (IsJpeg(data, size)) return {};  // the frame header lies further on
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    return reader.size();
}

bool IsThumbnailName(const QString& name) {
    static const QStringList raws = {QStringLiteral("CR2"), QStringLiteral("NEF"), QStringLiteral("NRW"),
                                     QStringLiteral("ARW"), QStringLiteral("DNG"), QStringLiteral("ORF"),
                                     QStringLiteral("RW2"), QStringLiteral("PEF"), QStringLiteral("SRW"),
                                     QStringLiteral("JPEG"), QStringLiteral("TIFF")};
    if (preview::HasImageExtension(name.toStdU16String())) return true;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && raws.contains(name.mid(dot + 1), Qt::CaseInsensitive);
}

QString ThumbnailKey(const CVolume* volume, const preview::PreviewItem& item) {
    const QString where = item.carved ? QStringLiteral("c%1").arg(item.firstCluster)
                                      : item.id ? QStringLiteral("i%1").arg(item.id)
                                                : QStringLiteral("p") + QString::fromStdU16String(item.path);
    return QStringLiteral("%1|%2|%3|%4")
        .arg(reinterpret_cast<quintptr>(volume), 0, 16)
        .arg(where)
        .arg(item.size)
        .arg(QString::fromStdU16String(item.name));
}

CThumbnailLoader::CThumbnailLoader(QObject* parent, qint64 memoryCap) : QObject(parent) {
    m_pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    m_pool.setExpiryTimeout(2000);
    m_cache.setMaxCost(memoryCap);
}

CThumbnailLoader::~CThumbnailLoader() {
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_wanted.clear();
        m_probes.clear();
    }
    m_pool.waitForDone();
}

const QImage* CThumbnailLoader::Find(const QString& key) const { return m_cache.object(key); }

CThumbnailLoader::State CThumbnailLoader::StateOf(const QString& key) const {
    if (m_cache.contains(key)) return State::Ready;
    if (m_failed.count(key)) return State::Failed;
    std::lock_guard<std::mutex> g(m_lock);
    if (m_inFlight.count(key) || m_delivered.count(key)) return State::Queued;
    for (const Job& j : m_wanted)
        if (j.request.key == key) return State::Queued;
    return State::None;
}

QSize CThumbnailLoader::FullSize(const QString& key) const { return m_sizes.value(key); }
bool CThumbnailLoader::FromEmbedded(const QString& key) const { return m_embedded.value(key, false); }

void CThumbnailLoader::Want(std::vector<ThumbnailRequest> requests) {
    std::deque<Job> jobs;
    for (ThumbnailRequest& r : requests) {
        if (!r.volume || m_cache.contains(r.key) || m_failed.count(r.key)) continue;
        jobs.push_back(Job {std::move(r), false});
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_wanted.clear();
        for (Job& j : jobs)
            if (!m_inFlight.count(j.request.key) && !m_delivered.count(j.request.key)) m_wanted.push_back(std::move(j));
    }
    StartWorkers();
}

void CThumbnailLoader::Probe(std::vector<ThumbnailRequest> requests) {
    std::deque<Job> jobs;
    for (ThumbnailRequest& r : requests) {
        if (!r.volume || m_sizes.contains(r.key) || m_failed.count(r.key) || m_unsized.count(r.key)) continue;
        jobs.push_back(Job {std::move(r), true});
    }
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_probes = std::move(jobs);
    }
    StartWorkers();
}

void CThumbnailLoader::Release() {
    {
        std::unique_lock<std::mutex> l(m_lock);
        m_wanted.clear();
        m_probes.clear();
        ++m_generation;
        m_idle.wait(l, [this] { return m_inFlight.empty(); });
        m_delivered.clear();
    }
    m_cache.clear();
    m_sizes.clear();
    m_embedded.clear();
    m_failed.clear();
    m_unsized.clear();
}

int CThumbnailLoader::Busy() const {
    std::lock_guard<std::mutex> g(m_lock);
    return static_cast<int>(m_wanted.size() + m_probes.size() + m_inFlight.size() + m_delivered.size());
}

void CThumbnailLoader::StartWorkers() {
    std::lock_guard<std::mutex> g(m_lock);
    const size_t waiting = m_wanted.size() + m_probes.size();
    while (waiting > static_cast<size_t>(m_workers) && m_workers < m_pool.maxThreadCount()) {
        ++m_workers;
        m_pool.start([this] { Work(); });
    }
}

void CThumbnailLoader::Work() {
    for (;;) {
        Job job;
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> g(m_lock);
            std::deque<Job>& from = !m_wanted.empty() ? m_wanted : m_probes;
            if (from.empty()) {
                --m_workers;
                return;
            }
            job = std::move(from.front());
            from.pop_front();
            if (m_inFlight.count(job.request.key) || (!job.probe && m_delivered.count(job.request.key))) continue;
            m_inFlight.insert(job.request.key);
            generation = m_generation;
        }
        Result result = Make(job);
        const QString key = job.request.key;
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_inFlight.erase(key);
            if (generation != m_generation) {
                m_idle.notify_all();
                continue;
            }
            // Queued before the lock goes, so that Release (which waits for
            // the lock) is never passed by a result of before it: Store
            // checks the generation again on the window's thread. Until it
            // is stored the key counts as on its way, so that a paint in
            // between does not ask for it again.
            const bool probe = result.probe;
            if (!probe) m_delivered.insert(key);
            QMetaObject::invokeMethod(
                this, [this, key, generation, probe, r = std::move(result)]() mutable {
                    bool current;
                    {
                        std::lock_guard<std::mutex> g2(m_lock);
                        current = generation == m_generation;
                        if (current && !probe) m_delivered.erase(key);
                    }
                    if (current) Store(key, std::move(r));
                },
                Qt::QueuedConnection);
            m_idle.notify_all();
        }
    }
}

CThumbnailLoader::Result CThumbnailLoader::Make(const Job& job) {
    Result result;
    result.probe = job.probe;
    const preview::PreviewItem& item = job.request.item;
    preview::CItemBytes source;
    uint64_t size = 0;
    std::vector<uint8_t> bytes;
    // The bytes from the start up to want (all of them when want is the
    // size), read on from what is there; false past the limit of a read.
    auto readTo = [&](uint64_t want) {
        want = std::min(want, size);
        const uint64_t limit = item.carved ? std::min<uint64_t>(preview::kCarvedLimit, kThumbnailReadLimit)
                                           : kThumbnailReadLimit;
        if (want > limit) return false;
        if (want <= bytes.size()) return true;
        std::vector<uint8_t> more;
        source.Read(bytes.size(), static_cast<uint32_t>(want - bytes.size()), more);
        if (more.empty()) return false;
        bytes.insert(bytes.end(), more.begin(), more.end());
        return true;
    };
    std::vector<uint8_t> embedded;
    {
        std::lock_guard<std::mutex> read(m_readLock);
        std::string why;
        if (!source.Open(*job.request.volume, item, why) || source.Size() == 0) {
            result.failed = true;
            return result;
        }
        size = source.Size();
        readTo(kThumbnailHeadBytes);
        result.full = PictureSize(bytes.data(), bytes.size());
        if (job.probe) {
            // Only the header: more of it while it does not tell, up to kProbeLimit.
            while (!result.full.isValid() && bytes.size() < std::min<uint64_t>(size, kProbeLimit) &&
                   readTo(bytes.size() * 2))
                result.full = PictureSize(bytes.data(), bytes.size());
            result.failed = !result.full.isValid();
            return result;
        }
        if (job.request.useEmbedded) {
            for (const preview::EmbeddedPicture& p : preview::FindEmbeddedPictures(bytes.data(), bytes.size())) {
                if (p.length > kEmbeddedLimit || p.offset + p.length > size) continue;
                if (p.offset + p.length > bytes.size() && !readTo(p.offset + p.length)) break;
                embedded.assign(bytes.begin() + static_cast<std::ptrdiff_t>(p.offset),
                                bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.length));
                break;
            }
        }
        if (embedded.empty() && !readTo(size)) {
            result.failed = true;
            return result;
        }
    }
    if (!embedded.empty()) {
        QSize own;
        result.image = DecodeThumbnail(embedded.data(), embedded.size(), kThumbnailSide, &own);
        result.embedded = !result.image.isNull();
        if (!result.full.isValid() && !result.image.isNull()) result.full = own;  // a raw: its preview's size
        if (result.image.isNull()) {
            std::lock_guard<std::mutex> read(m_readLock);
            if (!readTo(size)) {
                result.failed = true;
                return result;
            }
        }
    }
    if (result.image.isNull()) {
        QSize own;
        result.image = DecodeThumbnail(bytes.data(), bytes.size(), kThumbnailSide, &own);
        if (own.isValid()) result.full = own;
    }
    result.failed = result.image.isNull();
    if (!result.failed && result.image.format() != QImage::Format_ARGB32_Premultiplied &&
        result.image.format() != QImage::Format_RGB32)
        result.image = result.image.convertToFormat(result.image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                                                   : QImage::Format_RGB32);
    return result;
}

void CThumbnailLoader::Store(const QString& key, Result result) {
    if (result.full.isValid()) m_sizes.insert(key, result.full);
    if (result.probe && result.failed) m_unsized.insert(key);
    if (!result.probe) {
        if (result.failed) {
            m_failed.insert(key);
        } else {
            const qint64 cost = std::max<qint64>(1, result.image.sizeInBytes());
            m_embedded.insert(key, result.embedded);
            m_cache.insert(key, new QImage(std::move(result.image)), cost);
            ++m_made;
            if (result.embedded) ++m_madeEmbedded;
        }
    }
    emit ready(key);
}
