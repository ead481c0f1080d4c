#include "PreviewWidget.h"

#include "base/Exceptions.h"
#include "uResourceStrings.h"

#include <QPainter>

#include <algorithm>

namespace {

constexpr qreal Margin = 4;
constexpr qreal Spacing = 8;
const QColor PictureBackground(32, 32, 32);

} // namespace

TPreviewWidget::TPreviewWidget(QWidget *parent) : QWidget(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void TPreviewWidget::ShowEmpty() {
    FState = TState::Empty;
    FPicture = QImage();
    update();
}

void TPreviewWidget::ShowDecoding() {
    FState = TState::Decoding;
    FPicture = QImage();
    update();
}

void TPreviewWidget::ShowPicture(const QImage &picture) {
    if (picture.isNull()) {
        ShowPlaceholder();
        return;
    }
    FState = TState::Picture;
    FPicture = picture;
    update();
}

void TPreviewWidget::ShowPlaceholder() {
    FState = TState::Placeholder;
    FPicture = QImage();
    update();
}

void TPreviewWidget::SetAspectRatios(TRatio now, TRatio after) {
    FNow = IsRatio(now) ? ReduceRatio(now.X, now.Y) : TRatio{};
    FAfter = IsRatio(after) ? ReduceRatio(after.X, after.Y) : TRatio{};
    update();
}

QString TPreviewWidget::NowCaption() const {
    return IsRatio(FNow) ? QString::fromStdString(Format(SPreviewNow, RatioText(FNow)))
                         : QString::fromStdString(SPreviewNowUnknown);
}

QString TPreviewWidget::AfterCaption() const {
    return IsRatio(FAfter) ? QString::fromStdString(Format(SPreviewAfter, RatioText(FAfter)))
                           : QString::fromStdString(SPreviewUnchanged);
}

QSize TPreviewWidget::sizeHint() const {
    return {400, 190};
}

QSize TPreviewWidget::minimumSizeHint() const {
    return {160, 80};
}

QRectF TPreviewWidget::Side(int index) const {
    const QRectF all = QRectF(rect()).adjusted(Margin, Margin, -Margin, -Margin);
    const qreal width = std::max<qreal>(0, (all.width() - Spacing) / 2);
    return {all.left() + index * (width + Spacing), all.top(), width, all.height()};
}

QRectF TPreviewWidget::PictureArea(int index) const {
    const QRectF side = Side(index);
    const qreal caption = fontMetrics().height() + Margin;
    return side.adjusted(0, 0, 0, -std::min(caption, side.height()));
}

// The ratio a side is drawn at: the one given, else square samples.
TRatio TPreviewWidget::DrawnRatio(TRatio ratio) const {
    if (IsRatio(ratio))
        return ratio;
    return {FPicture.width(), FPicture.height()};
}

// The largest rectangle of that display aspect ratio inside the area, centred.
QRectF TPreviewWidget::Fitted(const QRectF &area, TRatio ratio) const {
    if (!IsRatio(ratio) || area.isEmpty())
        return {};
    const qreal aspect = static_cast<qreal>(ratio.X) / static_cast<qreal>(ratio.Y);
    qreal width = area.width();
    qreal height = width / aspect;
    if (height > area.height()) {
        height = area.height();
        width = height * aspect;
    }
    return {area.center().x() - width / 2, area.center().y() - height / 2, width, height};
}

QRectF TPreviewWidget::NowRect() const {
    if (FState != TState::Picture)
        return {};
    return Fitted(PictureArea(0), DrawnRatio(FNow));
}

QRectF TPreviewWidget::AfterRect() const {
    if (FState != TState::Picture)
        return {};
    return Fitted(PictureArea(1), DrawnRatio(IsRatio(FAfter) ? FAfter : FNow));
}

void TPreviewWidget::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::Antialiasing);
    if (FState == TState::Empty)
        return;
    if (FState != TState::Picture) {
        // One plain field for the whole preview, with what there is to say.
        const QRectF area = QRectF(rect()).adjusted(Margin, Margin, -Margin, -Margin);
        painter.fillRect(area, palette().color(QPalette::Mid));
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap,
                         FState == TState::Decoding ? SPreviewDecoding : SPreviewNone);
        return;
    }
    const QRectF pictures[2] = {NowRect(), AfterRect()};
    const QString captions[2] = {NowCaption(), AfterCaption()};
    for (int side = 0; side < 2; ++side) {
        painter.fillRect(PictureArea(side), PictureBackground);
        painter.drawImage(pictures[side], FPicture);
        const QRectF caption = Side(side).adjusted(0, PictureArea(side).height(), 0, 0);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(caption, Qt::AlignHCenter | Qt::AlignBottom,
                         fontMetrics().elidedText(captions[side], Qt::ElideRight, caption.toRect().width()));
    }
}
