#include "shell/thumbnails.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QImageReader>
#include <QPainter>
#include <QStyle>

#include "shell/mailbox.h"

namespace psf::shell {

namespace {

// At most `side` device pixels on its longer side; large files are decoded
// at that size where the format allows it, so no image is held whole.
QImage read_thumbnail(const QString& file, int side) {
    QImageReader reader(file);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && (size.width() > side || size.height() > side))
        reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull()) return image;
    if (image.width() > side || image.height() > side)
        image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    // Centred on a square, so that every name lines up under its picture.
    QImage square(side, side, QImage::Format_ARGB32_Premultiplied);
    square.fill(Qt::transparent);
    QPainter(&square).drawImage((side - image.width()) / 2, (side - image.height()) / 2, image);
    return square;
}

}  // namespace

Thumbnails::Thumbnails(QObject* parent)
    : QAbstractListModel(parent),
      generation_(std::make_shared<std::atomic<int>>(0)),
      back_(std::make_unique<Mailbox>()) {
    reader_ = new Mailbox;
    reader_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, reader_, &QObject::deleteLater);
    thread_.setObjectName("thumbnails");
    thread_.start(QThread::LowPriority);
}

Thumbnails::~Thumbnails() {
    ++*generation_;
    thread_.quit();
    thread_.wait();
}

void Thumbnails::set_files(const QStringList& files, double ratio) {
    beginResetModel();
    ++*generation_;
    files_ = files;
    ratio_ = ratio > 0 ? ratio : 1;
    const int side = static_cast<int>(Side * ratio_);
    blank_ = QImage(side, side, QImage::Format_ARGB32_Premultiplied);
    blank_.fill(Qt::transparent);
    blank_.setDevicePixelRatio(ratio_);
    held_.clear();
    arrival_.clear();
    unreadable_.clear();
    asked_.clear();
    endResetModel();
}

int Thumbnails::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(files_.size());
}

QVariant Thumbnails::data(const QModelIndex& index, int role) const {
    const int row = index.row();
    if (!index.isValid() || row >= files_.size()) return {};
    switch (role) {
        case Qt::DisplayRole:
            return QFileInfo(files_[row]).fileName();
        case Qt::ToolTipRole:
            return files_[row] + (unreadable_.contains(row) ? "\n(missing or unreadable)" : "");
        case Qt::DecorationRole:
            if (auto it = held_.find(row); it != held_.end()) return *it;
            if (unreadable_.contains(row))
                return QApplication::style()->standardIcon(QStyle::SP_FileIcon);
            ask(row);
            return blank_;  // the place the thumbnail takes, so the layout holds
        default:
            return {};
    }
}

void Thumbnails::ask(int row) const {
    if (asked_.contains(row)) return;
    asked_.insert(row);
    const int generation = *generation_;
    const int side = static_cast<int>(Side * ratio_);
    auto* self = const_cast<Thumbnails*>(this);  // the answer comes back to it
    reader_->post([self, generation, row, side, file = files_[row], current = generation_,
                   back = back_.get(), ratio = ratio_] {
        if (*current != generation) return;
        QImage image = read_thumbnail(file, side);
        image.setDevicePixelRatio(ratio);
        back->post([self, generation, row, image] { self->arrived(generation, row, image); });
    });
}

void Thumbnails::arrived(int generation, int row, const QImage& image) {
    if (generation != *generation_) return;
    if (image.isNull()) {
        unreadable_.insert(row);
    } else {
        held_.insert(row, image);
        arrival_.push_back(row);
        // The oldest go first; a view asks again for any it shows.
        while (arrival_.size() > static_cast<std::size_t>(Held)) {
            held_.remove(arrival_.front());
            asked_.remove(arrival_.front());
            arrival_.pop_front();
        }
    }
    emit dataChanged(index(row), index(row), {Qt::DecorationRole, Qt::ToolTipRole});
}

}  // namespace psf::shell
