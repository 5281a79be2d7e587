#include "ByteBuffer.h"

#include "app/Log.h"

bool ByteBuffer::Allocate(uint32_t n) {
    Free();
    if (n == 0) return true;
    m_data = static_cast<uint8_t*>(std::calloc(n, 1));
    if (!m_data) {
        LogWrite("Buffer allocation error: Out of memory!\n");
        return false;
    }
    m_size = n;
    return true;
}
