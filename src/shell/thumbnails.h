// The images of one run as a list of thumbnails. They are read off the
// user-interface thread with Qt's image readers, only for the rows a view
// asks for (those in sight), and at most `Held` are kept at once.
#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QImage>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <deque>
#include <memory>

namespace psf::shell {

class Mailbox;

class Thumbnails final : public QAbstractListModel {
  public:
    static constexpr int Side = 96;   // device-independent pixels, the longer side
    static constexpr int Held = 120;  // thumbnails kept at once

    explicit Thumbnails(QObject* parent = nullptr);
    ~Thumbnails() override;

    // The files to show, read at `ratio` device pixels per pixel; thumbnails
    // of the files shown before are dropped, and so are those still being read.
    void set_files(const QStringList& files, double ratio);
    QString file(int row) const { return files_.value(row); }
    // A thumbnail read, or a file found missing or unreadable.
    bool settled(int row) const { return held_.contains(row) || unreadable_.contains(row); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

  private:
    void ask(int row) const;
    void arrived(int generation, int row, const QImage& image);

    QStringList files_;
    double ratio_ = 1;
    QImage blank_;
    QHash<int, QImage> held_;
    std::deque<int> arrival_;  // rows of held_, oldest first
    QSet<int> unreadable_;
    mutable QSet<int> asked_;
    // Reads of an earlier set of files are dropped before they start.
    std::shared_ptr<std::atomic<int>> generation_;
    QThread thread_;
    Mailbox* reader_ = nullptr;  // lives on thread_
    std::unique_ptr<Mailbox> back_;
};

}  // namespace psf::shell
