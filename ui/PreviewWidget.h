#pragma once

#include "base/Ratio.h"

#include <QImage>
#include <QRectF>
#include <QString>
#include <QWidget>

// The preview: one picture of the file drawn twice side by side, on the left at the display aspect ratio
// players show now, on the right at the one it gets once the changes are saved, each under a caption. A
// file without picture gets a plain placeholder.
class TPreviewWidget : public QWidget {
    Q_OBJECT
public:
    enum class TState {
        Empty,       // no file
        Decoding,    // a picture is being decoded
        Picture,     // a picture is shown
        Placeholder, // the file gave no picture
    };

    explicit TPreviewWidget(QWidget *parent = nullptr);

    void ShowEmpty();
    void ShowDecoding();
    void ShowPicture(const QImage &picture);
    void ShowPlaceholder();
    // The display aspect ratios of the two sides: now, and after saving (0:0: not changed). A ratio of
    // 0:0 for now draws the picture with square samples.
    void SetAspectRatios(TRatio now, TRatio after);

    TState State() const { return FState; }
    const QImage &Picture() const { return FPicture; }
    TRatio NowRatio() const { return FNow; }
    TRatio AfterRatio() const { return FAfter; }
    // Where the two pictures are drawn, in the widget's coordinates; empty while none is drawn.
    QRectF NowRect() const;
    QRectF AfterRect() const;
    QString NowCaption() const;
    QString AfterCaption() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // The two halves, each a picture area and a caption line under it.
    QRectF Side(int index) const;
    QRectF PictureArea(int index) const;
    QRectF Fitted(const QRectF &area, TRatio ratio) const;
    TRatio DrawnRatio(TRatio ratio) const;

    TState FState = TState::Empty;
    QImage FPicture;
    TRatio FNow;
    TRatio FAfter;
};
