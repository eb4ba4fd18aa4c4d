#include "gui/file_preview.h"

#include <QImage>
#include <QPixmap>
#include <QStringDecoder>
#include <QVBoxLayout>

#include <algorithm>

namespace dravonel {

bool MemoryEntryWriter::append(const char* data, std::size_t count, char fill) {
    if (cancel_.load()) return false;
    const std::size_t room = cap_ - static_cast<std::size_t>(bytes_.size());
    const std::size_t take = std::min(count, room);
    if (data) bytes_.append(data, static_cast<qsizetype>(take));
    else bytes_.append(static_cast<qsizetype>(take), fill);
    written_ += take;
    if (take < count) {
        capped_ = true;
        return false;
    }
    return true;
}

bool MemoryEntryWriter::write(const std::uint8_t* data, std::size_t count) {
    return append(reinterpret_cast<const char*>(data), count, 0);
}

bool MemoryEntryWriter::writeHole(std::uint64_t count) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, cap_ + 1));
    return append(nullptr, n, 0);
}

bool MemoryEntryWriter::writeUnreadable(std::uint64_t count) {
    unreadable_ += count;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, cap_ + 1));
    return append(nullptr, n, 0);
}

void MemoryEntryWriter::noteDamage(const std::string& reason) {
    if (!damage_.empty()) damage_ += "; ";
    damage_ += reason;
}

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent), worker_(&bridge_) {
    setObjectName(QStringLiteral("previewPane"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("previewNote"));
    note_->setAccessibleName(QStringLiteral("Preview"));
    note_->setWordWrap(true);
    stack_ = new QStackedWidget(this);
    picture_ = new QLabel(stack_);
    picture_->setObjectName(QStringLiteral("previewPicture"));
    picture_->setAccessibleName(QStringLiteral("Preview picture"));
    picture_->setAlignment(Qt::AlignCenter);
    picture_->setMinimumSize(1, 1);
    text_ = new QPlainTextEdit(stack_);
    text_->setObjectName(QStringLiteral("previewText"));
    text_->setAccessibleName(QStringLiteral("Preview text"));
    text_->setReadOnly(true);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    stack_->addWidget(picture_);
    stack_->addWidget(text_);
    layout->addWidget(note_);
    layout->addWidget(stack_, 1);
    connect(&worker_, &WorkerSlot::finished, this, &PreviewPane::onRead);
}

PreviewPane::~PreviewPane() {
    cancel_ = true;
    worker_.waitPumping();
}

void PreviewPane::cancel() {
    cancel_ = true;
    worker_.waitPumping();
    writer_.reset();
    pixmap_ = QPixmap();
    picture_->clear();
    text_->clear();
    note_->clear();
    kind_ = QStringLiteral("none");
}

void PreviewPane::preview(const QString& name, std::function<void(EntryWriter&)> read) {
    cancel();
    cancel_ = false;
    name_ = name;
    writer_ = std::make_unique<MemoryEntryWriter>(kCapBytes, cancel_);
    note_->setText(QStringLiteral("Reading %1...").arg(name));
    MemoryEntryWriter* writer = writer_.get();
    worker_.start([read = std::move(read), writer] { read(*writer); });
}

void PreviewPane::onRead() {
    if (!writer_) return;
    showBytes(name_, writer_->bytes(), writer_->damaged(), writer_->capped());
    writer_.reset();
    emit shown();
}

void PreviewPane::showBytes(const QString& name, const QByteArray& bytes, bool damaged, bool capped) {
    QString note = name;
    if (capped) note += QStringLiteral(" (the first %1 MiB)").arg(kCapBytes >> 20);
    if (damaged) note += QStringLiteral(" - parts of this file could not be read; shown as read, with zeros for the rest");
    note_->setText(note);
    QImage image;
    if (!bytes.isEmpty() && image.loadFromData(bytes)) {
        pixmap_ = QPixmap::fromImage(image);
        stack_->setCurrentWidget(picture_);
        kind_ = QStringLiteral("image");
        fitPicture();
        return;
    }
    pixmap_ = QPixmap();
    picture_->clear();
    // Text: valid UTF-8 without control bytes other than tab, line and page breaks.
    const QByteArray head = bytes.left(kHexBytes);
    bool printable = !bytes.isEmpty();
    for (char c : head) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') {
            printable = false;
            break;
        }
    }
    if (printable) {
        // A character cut at the end of the shown part stays in the decoder, not an error.
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString decoded = utf8.decode(bytes.left(kTextBytes));
        if (!utf8.hasError()) {
            if (bytes.size() > kTextBytes) note_->setText(note_->text() + QStringLiteral(" (its first %1 KiB as text)").arg(kTextBytes / 1024));
            text_->setPlainText(decoded);
            stack_->setCurrentWidget(text_);
            kind_ = QStringLiteral("text");
            return;
        }
    }
    // Anything else: offset, 16 bytes in hex, and the bytes as characters.
    QString hex;
    for (qsizetype at = 0; at < head.size(); at += 16) {
        hex += QStringLiteral("%1  ").arg(at, 8, 16, QLatin1Char('0'));
        QString chars;
        for (qsizetype i = at; i < at + 16; ++i) {
            if (i < head.size()) {
                const auto u = static_cast<unsigned char>(head[i]);
                hex += QStringLiteral("%1 ").arg(u, 2, 16, QLatin1Char('0'));
                chars += (u >= 0x20 && u < 0x7f) ? QChar(u) : QLatin1Char('.');
            } else {
                hex += QStringLiteral("   ");
            }
        }
        hex += QLatin1Char(' ') + chars + QLatin1Char('\n');
    }
    text_->setPlainText(hex);
    stack_->setCurrentWidget(text_);
    kind_ = bytes.isEmpty() ? QStringLiteral("none") : QStringLiteral("hex");
}

QString PreviewPane::shownKind() const { return kind_; }

void PreviewPane::fitPicture() {
    if (pixmap_.isNull()) return;
    picture_->setPixmap(pixmap_.scaled(stack_->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitPicture();
}

}  // namespace dravonel
