// Fuzz target for the reader of the server's control-channel answer: the same bytes must give
// the same answer whether they arrive whole or in pieces of any size.
#include "server/control_answer.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Byte 0, bit 0: a line of about 64 KiB goes first, so that an answer can straddle the
    // point where the reader cuts a long line. Bytes 1 to 3: piece sizes, used in turn.
    // The rest is what the server sent.
    if (size < 4)
        return 0;
    const QByteArray filler = data[0] & 1 ? QByteArray(65500 + (data[0] >> 1), 'x') : QByteArray();
    const QByteArray stream =
        filler + QByteArray(reinterpret_cast<const char*>(data) + 4, int(size) - 4);

    ControlAnswerReader whole;
    const bool wholeAnswer = whole.feed(stream);

    // The filler arrives in one piece, so that the cut falls before or after its end.
    ControlAnswerReader pieces;
    bool piecesAnswer = pieces.feed(filler);
    for (int start = filler.size(), turn = 0; start < stream.size() && !piecesAnswer; ++turn) {
        const int sizeByte = data[1 + turn % 3];
        // Size byte 0: a read that found nothing new, then one byte.
        if (sizeByte == 0)
            piecesAnswer = pieces.feed(QByteArray());
        const int length = sizeByte == 0 ? 1 : sizeByte * sizeByte;
        piecesAnswer = piecesAnswer || pieces.feed(stream.mid(start, length));
        start += length;
    }
    if (wholeAnswer != piecesAnswer)
        abort();
    return 0;
}
