// CirBuf: the frame ring between a camera's capture thread and the readers of
// its images. For now an empty class: the camera object already holds a
// pointer to it, and the ring itself (slots, insert thread, marker checks)
// comes with the frame path.
#ifndef KYR_CIRBUF_H
#define KYR_CIRBUF_H

class CirBuf {
public:
    CirBuf() = default;
    CirBuf(const CirBuf&) = delete;
    CirBuf& operator=(const CirBuf&) = delete;
};

#endif
