// One live progress line on a terminal while long work runs: nothing at all when standard
// error is not a terminal (cron, systemd, pipes), so the log lines stay exactly as they are.
#pragma once

#include <QElapsedTimer>
#include <QString>

class Progress {
public:
    // label starts the line: "Copying media library". Active only when standard error is a
    // terminal.
    explicit Progress(const char* label);
    // Erases the line, so the next log line starts on a clean line.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    bool isActive() const { return m_active; }

    // Cheap enough to call in a loop: the line is redrawn at most four times a second, with
    // the elapsed time, the rate of doneBytes and the detail text that describe() returns.
    template <typename Describe> void update(qint64 doneBytes, Describe describe)
    {
        if (m_active && m_lastDrawMs + redrawMs <= m_clock.elapsed())
            draw(doneBytes, describe());
    }

    // Erases the line now; the next update draws it again.
    void clear();

private:
    static constexpr qint64 redrawMs = 250;
    void draw(qint64 doneBytes, const QString& detail);

    const char* m_label;
    bool m_active;
    bool m_shown = false;
    QElapsedTimer m_clock;
    // The first draw waits a moment: work that ends quickly shows nothing.
    qint64 m_lastDrawMs = 0;
};
