#pragma once
// The preview of the file selected in a list: its bytes read into memory through the
// same saveEntry a save writes with (capped), on a thread of its own, then shown as a
// picture scaled to fit, as text, or as the first bytes in hex. A new selection cancels
// the read in progress; a file whose data could not all be read is shown as read, and
// the pane says so.
#include <QByteArray>
#include <QLabel>
#include <QObject>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QWidget>

#include <atomic>
#include <functional>
#include <string>

#include "core/common/entry_writer.h"
#include "gui/worker_slot.h"

namespace dravonel {

// Collects a file's bytes up to a cap. A write past the cap, or after cancel() was
// called, answers false, so the parser ends the file at its next buffer.
class MemoryEntryWriter final : public EntryWriter {
public:
    MemoryEntryWriter(std::size_t capBytes, const std::atomic<bool>& cancel) : cap_(capBytes), cancel_(cancel) {}
    bool write(const std::uint8_t* data, std::size_t count) override;
    bool writeHole(std::uint64_t count) override;
    bool writeUnreadable(std::uint64_t count) override;
    void noteDamage(const std::string& reason) override;
    std::uint64_t written() const override { return written_; }

    const QByteArray& bytes() const { return bytes_; }
    bool capped() const { return capped_; }
    // Zeros stood in for unreadable data, or the file system said the file is not whole.
    bool damaged() const { return unreadable_ > 0 || !damage_.empty(); }

private:
    bool append(const char* data, std::size_t count, char fill);
    std::size_t cap_;
    const std::atomic<bool>& cancel_;
    QByteArray bytes_;
    std::uint64_t written_ = 0;
    std::uint64_t unreadable_ = 0;
    std::string damage_;
    bool capped_ = false;
};

class PreviewPane : public QWidget {
    Q_OBJECT
public:
    static constexpr std::size_t kCapBytes = 16u << 20;
    // How the shown text starts when the bytes are neither a picture nor text.
    static constexpr int kHexBytes = 4096;
    // Text beyond this is not put into the view (a 16 MiB log would stall it).
    static constexpr int kTextBytes = 256 * 1024;

    explicit PreviewPane(QWidget* parent = nullptr);
    ~PreviewPane() override;

    // Reads a file with read (on the pane's thread; it fills the writer) and shows it;
    // name is the file's name (said in the note). Cancels and waits for a read still
    // running first.
    void preview(const QString& name, std::function<void(EntryWriter&)> read);
    // Cancels a read in progress and waits for it; the pane is cleared.
    void cancel();
    bool reading() const { return worker_.running(); }

    // What the pane shows: "image", "text", "hex" or "none".
    QString shownKind() const;
    QLabel* picture() const { return picture_; }
    QPlainTextEdit* text() const { return text_; }
    QString note() const { return note_->text(); }

signals:
    // A read ended and its result is shown.
    void shown();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void onRead();
    void showBytes(const QString& name, const QByteArray& bytes, bool damaged, bool capped);
    void fitPicture();

    QObject bridge_;
    WorkerSlot worker_;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<MemoryEntryWriter> writer_;
    QString name_;
    QStackedWidget* stack_ = nullptr;
    QLabel* picture_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QLabel* note_ = nullptr;
    QPixmap pixmap_;
    QString kind_ = QStringLiteral("none");
};

}  // namespace dravonel
