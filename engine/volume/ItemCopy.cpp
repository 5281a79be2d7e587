#include "engine/volume/ItemCopy.h"

#include <algorithm>
#include <vector>

#include "app/Log.h"

HRESULT CopyItem(IItemReader& reader, COutputFile& out, const std::string& path, IRecoverEventCallback* callback,
                 const StopFlag* stop, uint32_t step) {
    auto abandon = [&](HRESULT hr) {
        if (reader.KeepsPartial()) return AbandonOutput(callback, out, hr, IsStopped(stop));
        out.Close();  // worth nothing unless whole: nothing of it stays
        return hr;
    };
    HRESULT hr = S_OK;
    if (callback) {
        hr = callback->OnFileBegin(path, reader.End());
        if (FAILED(hr)) return abandon(hr);
    }
    // No more buffer than the item needs, at least one 64 KiB piece.
    const uint64_t want = std::max<uint64_t>(reader.End(), uint64_t(64) << 10);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(std::max<uint32_t>(step, 1), want)));
    uint64_t written = 0, reported = 0;
    bool readFailed = false;
    for (;;) {
        if (IsStopped(stop)) {
            LogWrite("The operation was aborted.\n");
            return abandon(E_ABORT);
        }
        bool hole = false;
        const uint64_t span = reader.Span(hole);
        if (span == 0) break;
        uint32_t got = 0;
        if (hole) {
            hr = SkipOutputChunk(callback, out, path, span);
            if (FAILED(hr)) return abandon(hr);
            reader.SkipHole(span);
            written += span;
        } else {
            const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(buffer.size(), span));
            const bool ok = reader.Read(buffer.data(), n, got);
            if (got == 0) {
                readFailed = !ok;
                break;
            }
            hr = WriteOutputChunk(callback, out, path, buffer.data(), got);
            if (FAILED(hr)) return abandon(hr);
            written += got;
        }
        if (callback) {
            // Bytes read count as progress; a hole moves the position only.
            const uint64_t now = reader.ItemBytes(written);
            hr = callback->OnProgress(hole ? 0 : static_cast<uint32_t>(now - reported), now);
            reported = now;
            if (FAILED(hr)) return abandon(hr);
        }
    }
    if (FAILED(reader.Failure())) return abandon(reader.Failure());
    hr = FinishOutput(callback, out);
    if (FAILED(hr)) return abandon(hr);
    const bool whole = !readFailed && reader.Whole(written);
    if (!whole) LogWriteLevel(1, "The data stream was recovered not completely.\n");
    if (callback) {
        hr = callback->OnFileEnd(path, whole);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}
