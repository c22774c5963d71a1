// Reads the server's answer on the control channel: lines of text, one of which holds
// "server-suspended".
#pragma once

#include <QByteArray>

class ControlAnswerReader {
public:
    // Takes the next bytes as they arrived. True once a complete line (ended by "\n") holding
    // "server-suspended" has been seen; a line that arrived in pieces is examined whole.
    // Memory stays bounded however long a line grows.
    bool feed(const QByteArray& bytes);

private:
    QByteArray m_line;            // the unfinished line, or only its tail once it grew long
    bool m_lineHasAnswer = false; // the part of a long line already dropped held the answer
};
