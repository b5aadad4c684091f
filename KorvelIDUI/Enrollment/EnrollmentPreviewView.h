#pragma once
// The 320×240 live preview: the camera frame mirrored (as in a mirror, which is how people expect
// to see themselves), filling a rounded black box; a camera-person symbol while there is no frame.
#include <QImage>
#include <QWidget>

class EnrollmentPreviewView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int previewWidth = 320;
    static constexpr int previewHeight = 240;
    static constexpr qreal cornerRadius = 16;

    explicit EnrollmentPreviewView(QWidget* parent = nullptr);

    void setImage(const QImage& image);
    void setDone(bool done);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintPlaceholder(class QPainter& painter) const;

    QImage image_;
    bool done_ = false;
};
