#include "uPellmarMain.h"

#include "FramePreview.h"
#include "MessageBoxes.h"
#include "base/Exceptions.h"
#include "base/FormatFacts.h"
#include "base/Messages.h"
#include "base/ShownTexts.h"
#include "base/Utils.h"
#include "scan/JournalStore.h"
#include "scan/SaveRollback.h"
#include "scan/SaveSequence.h"
#include "scan/Scanner.h"
#include "uAbout.h"
#include "uResourceStrings.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QValidator>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

namespace {

constexpr int64_t MaxInt32 = std::numeric_limits<int32_t>::max();

enum TColumn {
    colIndex,
    colSar,
    colType,
    colResolution,
    colDar,
    colSpsId,
    colSpsOffset,
    colVuiOffset,
    colContainer,
    colCount
};

// "SAR", "Type", "Resolution" and "SPS Id" share the width the other columns leave.
bool IsSharedColumn(int column) {
    return column == colSar || column == colType || column == colResolution || column == colSpsId;
}

// The width a column needs for its caption and its usual widest text.
int ColumnWidth(const QTreeWidget &list, int column) {
    static const std::array<const char *, colCount> Widest{"000",       "160:99",   "Predefined",
                                                           "1920x1080", "0000:000", "000",
                                                           "00000000",  "00000000", "00:00 \u2192 00:00"};
    const QFontMetrics metrics = list.fontMetrics();
    const int text = std::max(metrics.horizontalAdvance(list.headerItem()->text(column)),
                              metrics.horizontalAdvance(QString::fromLatin1(Widest[column])));
    return text + 2 * metrics.averageCharWidth();
}

const QColor ChangedRowBackground(255, 255, 0);
const QColor ChangedRowText(255, 0, 0);

// The path as the file layer takes it: UTF-8 on every platform (QFile::encodeName gives the ANSI code
// page on Windows).
std::string NativePath(const QString &path) {
    return path.toStdString();
}

QString Text(const std::string &text) {
    return QString::fromStdString(text);
}

QString Number(int64_t value) {
    return QString::number(value);
}

// The key filter of the four number fields: only digits reach them, typed or pasted, and only numbers
// up to the field's bound, so a field never holds a number its conversions can not take.
class TNumberValidator : public QValidator {
public:
    TNumberValidator(int64_t maximum, QObject *parent) : QValidator(parent), FMaximum(maximum) {}

    State validate(QString &input, int &) const override {
        if (input.isEmpty())
            return Acceptable;
        if (!std::all_of(input.begin(), input.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
            return Invalid;
        bool ok = false;
        qlonglong value = input.toLongLong(&ok);
        return ok && value <= FMaximum ? Acceptable : Invalid;
    }

private:
    int64_t FMaximum;
};

// A mouse cursor for as long as the object lives.
class TOverrideCursor {
public:
    explicit TOverrideCursor(Qt::CursorShape shape) { QApplication::setOverrideCursor(shape); }
    ~TOverrideCursor() { QApplication::restoreOverrideCursor(); }
    TOverrideCursor(const TOverrideCursor &) = delete;
    TOverrideCursor &operator=(const TOverrideCursor &) = delete;
};

// A read-only field that shows a value (read-only, no tab stop and no drops come from the form), on the
// background of the window when it has no border.
void MakeDisplayField(QLineEdit *field, bool windowBackground) {
    if (windowBackground) {
        QPalette palette = field->palette();
        palette.setColor(QPalette::Base, Qt::transparent);
        field->setPalette(palette);
    }
}

// Sets a field's text only when it differs, so the caret stays where the user is typing.
void SetFieldText(QLineEdit *field, const QString &text) {
    if (field->text() != text)
        field->setText(text);
}

QString PositiveNumberText(int32_t value) {
    return value > 0 ? Number(value) : QString();
}

// A menu item or a button that runs an action and follows its enabled state.
void BindToAction(QAction *item, QAction *action) {
    QObject::connect(item, &QAction::triggered, action, &QAction::trigger);
    QObject::connect(action, &QAction::enabledChanged, item, &QAction::setEnabled);
    item->setEnabled(action->isEnabled());
}

void BindToAction(QPushButton *button, QAction *action) {
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::enabledChanged, button, &QPushButton::setEnabled);
    button->setEnabled(action->isEnabled());
}

bool FitsInt32(const TRatio &ratio) {
    return ratio.X > 0 && ratio.Y > 0 && ratio.X <= MaxInt32 && ratio.Y <= MaxInt32;
}

// The list's item for a ratio the user types; no codec's table uses the value for a code.
constexpr uint8_t PanelCustomCode = 255;
// The SAR fields take terms of up to 16 bits, as the custom ratios of the codecs and the rows hold them.
constexpr int32_t MaxSarFieldTerm = 65535;

bool IsSarTerm(int64_t value) {
    return value >= 1 && value <= MaxSarFieldTerm;
}

} // namespace

// The state of a running scan: the hourglass, and only "Abort" acts. A close asked for meanwhile
// happens once the scan has returned.
class TForm21::TScanScope {
public:
    explicit TScanScope(TForm21 &form) : FForm(form), FCursor(Qt::WaitCursor) { FForm.SetScanning(true); }
    ~TScanScope() {
        FForm.SetScanning(false);
        if (FForm.FCloseRequested)
            QTimer::singleShot(0, &FForm, &QWidget::close);
    }
    TScanScope(const TScanScope &) = delete;
    TScanScope &operator=(const TScanScope &) = delete;

private:
    TForm21 &FForm;
    TOverrideCursor FCursor;
};

template <typename TCommand> void TForm21::Guarded(TCommand command) {
    try {
        command();
    } catch (const std::bad_alloc &) {
        FMessages.ShowError(Text(ErrorMessageText(SOutOfMemory)));
    } catch (const std::exception &error) {
        FMessages.ShowError(Text(ErrorMessageText(error.what())));
    } catch (...) {
        FMessages.ShowError(Text(ErrorMessageText(SUnknownError)));
    }
}

template <typename... TArgs> auto TForm21::Guard(void (TForm21::*handler)(TArgs...)) {
    return [this, handler](TArgs... args) { Guarded([&] { (this->*handler)(args...); }); };
}

TForm21::TForm21(TMessageBoxes &messages, QWidget *parent)
    : QMainWindow(parent), FMessages(messages), FPreview(new TFramePreview(this)) {
    setupUi(this);
    SetUpControls();
    ConnectCommands();
    FormCreate();
}

TForm21::~TForm21() {
    FormDestroy();
}

// ---- Form definition ----

void TForm21::SetUpControls() {
    MakeDisplayField(edtPath, true);
    edtNalUnitsCount->setFixedWidth(
        edtNalUnitsCount->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
    rgScanModeItems->setId(rbDeepScan, 0);
    rgScanModeItems->setId(rbFirstNalUnit, 1);

    QPalette listPalette = lvARList->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        listPalette.setColor(QPalette::Inactive, role, listPalette.color(QPalette::Active, role));
    lvARList->setPalette(listPalette);
    QHeaderView *header = lvARList->header();
    for (int column = 0; column < colCount; ++column)
        header->setSectionResizeMode(column,
                                     IsSharedColumn(column) ? QHeaderView::Interactive : QHeaderView::Fixed);
    lvARList->viewport()->installEventFilter(this);
    FitColumns();
    lblSavePlan->hide();

    for (QLineEdit *field : {edtSARx, edtSARy, edtDARx, edtDARy}) {
        bool sar = field == edtSARx || field == edtSARy;
        field->setValidator(new TNumberValidator(sar ? MaxSarFieldTerm : MaxInt32, field));
        field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("00000000000")));
    }
    MakeDisplayField(edtResolution, true);
    MakeDisplayField(edtProgress, true);
    edtProgress->setFixedWidth(
        edtProgress->fontMetrics().horizontalAdvance(QStringLiteral("Scanning 100.0%")) + 12);
    // The list and the preview share the height the window gives them.
    splListPreview->setStretchFactor(0, 2);
    splListPreview->setStretchFactor(1, 3);
    pnlPreview->setVisible(PreviewAvailable());

    for (QAction *item : File1->actions())
        if (item->isSeparator())
            N1 = item;
}

void TForm21::ConnectCommands() {
    FScanLockedActions = new QActionGroup(this);
    FScanLockedActions->setExclusionPolicy(QActionGroup::ExclusionPolicy::None);
    for (QAction *action : {actOpenAviFile, actOpenh264Stream, actSave, actAbout})
        FScanLockedActions->addAction(action);
    BindToAction(OpenAvi1, actOpenAviFile);
    BindToAction(OpenelementaryStream1, actOpenh264Stream);
    BindToAction(SaveChanges1, actSave);
    BindToAction(About1, actAbout);
    BindToAction(btn_LoadRIFF, actOpenAviFile);
    BindToAction(btnLoadStream, actOpenh264Stream);
    BindToAction(btnSave, actSave);
    // Escape stops a scan at once (the scan reads keys whenever its progress text changes); a shortcut
    // of the button would click it only after its animation, when a short scan is over.
    auto *abort = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(abort, &QShortcut::activated, this, Guard(&TForm21::btnCancelClick));

    connect(actOpenAviFile, &QAction::triggered, this, Guard(&TForm21::actOpenAviFileExecute));
    connect(actOpenh264Stream, &QAction::triggered, this, Guard(&TForm21::actOpenh264StreamExecute));
    connect(actSave, &QAction::triggered, this, Guard(&TForm21::actSaveExecute));
    connect(actAbout, &QAction::triggered, this, Guard(&TForm21::actAboutExecute));
    connect(UndoLastSave1, &QAction::triggered, this, Guard(&TForm21::UndoLastSaveClick));
    connect(Exit1, &QAction::triggered, this, Guard(&TForm21::Exit1Click));
    connect(btnCancel, &QPushButton::clicked, this, Guard(&TForm21::btnCancelClick));
    connect(lvARList, &QTreeWidget::itemDoubleClicked, this, Guard(&TForm21::lvARListDblClick));
    connect(lvARList, &QTreeWidget::itemSelectionChanged, this, &TForm21::UpdatePreview);
    connect(cbSAR, &QComboBox::activated, this, Guard(&TForm21::cbSARSelect));
    connect(rbSAR, &QRadioButton::toggled, this, Guard(&TForm21::rbSARClick));
    connect(rbDAR, &QRadioButton::toggled, this, Guard(&TForm21::rbDARClick));
    connect(edtSARx, &QLineEdit::textEdited, this, Guard(&TForm21::edtSARxChange));
    connect(edtSARy, &QLineEdit::textEdited, this, Guard(&TForm21::edtSARyChange));
    connect(edtDARx, &QLineEdit::textEdited, this, Guard(&TForm21::edtDARxChange));
    connect(edtDARy, &QLineEdit::textEdited, this, Guard(&TForm21::edtDARyChange));
    // Enter in a ratio field sets the ratio, as the button does.
    for (QLineEdit *field : {edtSARx, edtSARy, edtDARx, edtDARy})
        connect(field, &QLineEdit::returnPressed, this, [this] {
            if (btnSet->isEnabled())
                btnSet->click();
        });
    connect(btnSet, &QPushButton::clicked, this, Guard(&TForm21::btnSetClick));
    connect(btnReset, &QPushButton::clicked, this, Guard(&TForm21::btnResetClick));
    connect(btnSelectAll, &QPushButton::clicked, this, Guard(&TForm21::btnSelectAllClick));
    connect(FPreview, &TFramePreview::Decoded, this, &TForm21::PreviewDecoded);
}

// ---- Creation and destruction ----

void TForm21::FormCreate() {
    setWindowTitle(Text(GetAppCaption()));
    ProgressBar1->setRange(0, 100);
    ParserProgress(0, 100);
    FSession = std::make_unique<TScanSession>();

    FillCodeList(ReadableCodecs().front());
    UpdateNewARPanel();

    // The window is laid out for a font of 5 pixels per average character (Tahoma 8 pt at 96 dots per
    // inch), with room for the preview under the list. A wider font widens it alike, and further where
    // the list needs more room to show every column in full, as far as the screen allows.
    const double scale = std::max(1.0, fontMetrics().averageCharWidth() / 5.0);
    resize(static_cast<int>(640 * scale), static_cast<int>(640 * scale) + menuBar()->sizeHint().height());
    layout()->activate();
    centralWidget()->layout()->activate();
    int columns = 2 * lvARList->frameWidth() + lvARList->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    for (int column = 0; column < colCount; ++column)
        columns += ColumnWidth(*lvARList, column);
    QSize size(width() + std::max(columns - lvARList->width(), 0), height());
    if (const QScreen *display = screen())
        size = size.boundedTo(display->availableSize());
    resize(size.expandedTo(minimumSizeHint()));
    frmAbout = new TfrmAbout(this);
}

void TForm21::FormDestroy() {
    FPreview->Cancel();
    lvARList->clear();
    FSession.reset();
}

// ---- Opening and scanning ----

void TForm21::actOpenAviFileExecute() {
    QString path = FMessages.OpenFileName(this, SFilterAvi);
    if (!path.isEmpty())
        LoadFile(path);
}

void TForm21::actOpenh264StreamExecute() {
    QString path = FMessages.OpenFileName(this, SFilterStream);
    if (!path.isEmpty())
        LoadFile(path);
}

// Both open commands and a drop read the file's format from its content.
void TForm21::LoadFile(const QString &path) {
    if (FScanning || !FileExists(NativePath(path)))
        return;
    CurrentFile = path;
    OfferRecovery();
    TScanScope scan(*this);
    // The list goes before the session whose records its rows refer to.
    lvARList->clear();
    FPlannedTracks.clear();
    FSession = std::make_unique<TScanSession>();
    FPreview->Cancel();
    FPreviewDar = {};
    pnlPreview->ShowEmpty();
    lblFormat->clear();
    try {
        UpdateView();
        edtNalUnitsCount->clear();
        const TFileFormat format = ProbeFile(NativePath(CurrentFile));
        lblFormat->setText(Text(FormatName(format)));
        if (!IsScannable(format))
            throw Exception(FormatNotReadText(format));
        // The picture is decoded while the file is scanned.
        if (PreviewAvailable()) {
            pnlPreview->ShowDecoding();
            FPreview->Request(CurrentFile, format);
        }
        std::unique_ptr<TParser> parser = CreateParser(format, *FSession);
        parser->DeepScan = rgScanModeItems->checkedId() != 1;
        parser->Events.OnProgress = [this](int64_t position, int64_t total) {
            ParserProgress(position, total);
        };
        parser->Events.OnRatioUnitKept = [this](int64_t count) { edtNalUnitsCount->setText(Number(count)); };
        parser->Events.OnRecordAdded = [this](TARInfo &record) {
            AddARListItem(static_cast<size_t>(lvARList->topLevelItemCount()), record);
        };
        parser->Events.OnForeignHandler = [this](const std::string &fourCC) {
            return ParserForeignHandler(fourCC);
        };
        parser->Events.OnFinished = [this] { ParserProgress(0, 100); };
        FParser = parser.get();
        parser->Parse(NativePath(CurrentFile));
        FParser = nullptr;
    } catch (...) {
        FParser = nullptr;
        UpdateView(); // the records found before the error stay listed
        throw;
    }
    ScannedFileSize = FSession->FileSize;
    edtNalUnitsCount->setText(Number(FSession->RatioUnitCount));
    ShowFormat();
    if (FSession->ARInfoList.Count() > 0)
        LoadARInfo(0);
    UpdateView();
    lvARList->selectAll();
    ShowNotices();
}

// What the scan could not read, after it: one message with the first few.
void TForm21::ShowNotices() {
    if (FSession->NoticeCount == 0)
        return;
    constexpr int64_t Shown = 10;
    QStringList lines;
    for (const TScanNotice &notice : FSession->Notices) {
        if (lines.size() == Shown)
            break;
        lines << Text(notice.Text);
    }
    if (FSession->NoticeCount > lines.size())
        lines << Text(Format(SMoreNotices, FSession->NoticeCount - lines.size()));
    FMessages.ShowMessage(lines.join('\n'));
}

void TForm21::SetScanning(bool scanning) {
    FScanning = scanning;
    btnCancel->setEnabled(scanning);
    FScanLockedActions->setEnabled(!scanning);
    for (QWidget *control : std::initializer_list<QWidget *>{rgScanMode, grpNewAR, btnSelectAll, btnReset})
        control->setEnabled(!scanning);
    UpdateUndo();
}

void TForm21::btnCancelClick() {
    if (FParser != nullptr)
        FParser->Aborted = true;
}

void TForm21::ParserProgress(int64_t position, int64_t size) {
    QString status;
    int bar = 0;
    if (position == 0 || size <= 0) {
        status = SReady;
    } else {
        auto percent = static_cast<float>(static_cast<double>(position) / static_cast<double>(size) * 100.0);
        status = Text(Format(SScanningProgress, QLocale().toString(percent, 'f', 1).toStdString()));
        bar = static_cast<int>(std::lrint(percent)); // to the nearest, ties to even
    }
    if (status == edtProgress->text())
        return;
    ProgressBar1->setValue(bar);
    edtProgress->setText(status);
    ProgressBar1->repaint();
    edtProgress->repaint();
    QCoreApplication::processEvents();
}

bool TForm21::ParserForeignHandler(const std::string &fourCC) {
    TOverrideCursor normal(Qt::ArrowCursor);
    return FMessages.ConfirmForeignHandler(Text(Format(SForeignFourCC, CodeText(fourCC))));
}

// ---- The list ----

TARInfo *TForm21::RowRecord(const QTreeWidgetItem &row) {
    return static_cast<TARInfo *>(row.data(colIndex, Qt::UserRole).value<void *>());
}

void TForm21::UpdateView() {
    edtPath->setText(CurrentFile);
    FillARList();
    actSave->setEnabled(FSession->ARInfoList.Count() > 0);
    UpdateNewARPanel();
    UpdateUndo();
}

void TForm21::FillARList() {
    lvARList->clear();
    ShowSavePlan();
    for (size_t i = 0; i < FSession->ARInfoList.Count(); ++i)
        AddARListItem(i, *FSession->ARInfoList.Items(i));
    UpdatePreview();
}

// What a save would write to the containers, worked out as the confirmation does (nothing is read): the
// rows of the tracks it changes show the container's ratio to come, and its lines stand under the list.
void TForm21::ShowSavePlan() {
    FPlannedTracks.clear();
    const TSaveSequence save(FSession->ARInfoList);
    for (const TPlanEntry &entry : save.Plan().Entries)
        if (entry.Kind == TPlanEntry::TKind::Container && entry.Row < FSession->ARInfoList.Count())
            if (const TTrack *track = FSession->ARInfoList.Items(entry.Row)->Track)
                FPlannedTracks.push_back(track);
    const std::vector<std::string> lines = save.ContainerLines();
    QStringList texts{SSavePlanHeading};
    for (const std::string &line : lines)
        texts << Text(line);
    lblSavePlan->setText(texts.join('\n'));
    lblSavePlan->setVisible(!lines.empty());
}

QString TForm21::ContainerText(const TARInfo &record) const {
    if (record.Track == nullptr || !record.Track->HasStatement())
        return SContainerNone;
    const TTrack &track = *record.Track;
    const TRatio stated = track.StatedDisplayAspectRatio();
    const std::string now = std::to_string(stated.X) + ":" + std::to_string(stated.Y);
    if (std::find(FPlannedTracks.begin(), FPlannedTracks.end(), &track) == FPlannedTracks.end())
        return Text(now);
    // The first statement, the one players read, as the save leaves it: the row's new ratio as far as
    // the statement can hold it.
    const TRatio sar = track.Statements.front()->Representable(
        ReduceRatio(record.EffectiveSarWidth(), record.EffectiveSarHeight()), record.Width(),
        record.Height());
    const TRatio dar = DarFromSar(sar.X, sar.Y, record.Width(), record.Height());
    return Text(Format(SContainerWillState, now, std::to_string(dar.X) + ":" + std::to_string(dar.Y)));
}

void TForm21::AddARListItem(size_t index, TARInfo &record) {
    auto hex = [this](int64_t offset) { return Text(OffsetText(offset, ScannedFileSize)); };

    auto *row = new QTreeWidgetItem;
    row->setText(colIndex, Number(static_cast<int64_t>(index)));
    row->setText(colSar, Text(record.SarText()));
    row->setText(colType, Text(record.TypeText()));
    row->setText(colResolution, Text(record.ResolutionText()));
    row->setText(colDar, Text(record.DarText()));
    // A container row has no SPS: its offset is that of the container's statement.
    row->setText(colSpsId, record.IsContainerRow() ? QString() : Number(record.SpsId()));
    row->setText(colSpsOffset, hex(record.SpsOffset()));
    row->setText(colVuiOffset, record.IsContainerRow() ? QString() : hex(record.VuiOffset()));
    row->setText(colContainer, ContainerText(record));
    row->setData(colIndex, Qt::UserRole, QVariant::fromValue(static_cast<void *>(&record)));
    const QString tip = lvARListInfoTip(record);
    for (int column = 0; column < colCount; ++column)
        row->setToolTip(column, tip);
    lvARListCustomDrawItem(*row, record);
    lvARList->addTopLevelItem(row);
}

// The fixed columns keep the width their texts need; the shared ones divide the rest of the list's width
// in proportion to theirs.
void TForm21::FitColumns() {
    int fixed = 0;
    int shared = 0;
    for (int column = 0; column < colCount; ++column)
        (IsSharedColumn(column) ? shared : fixed) += ColumnWidth(*lvARList, column);
    const int free = std::max(lvARList->viewport()->width() - fixed, 0);
    for (int column = 0; column < colCount; ++column) {
        const int needed = ColumnWidth(*lvARList, column);
        lvARList->header()->resizeSection(column, IsSharedColumn(column) ? needed * free / shared : needed);
    }
}

bool TForm21::eventFilter(QObject *watched, QEvent *event) {
    if (watched == lvARList->viewport() && event->type() == QEvent::Resize)
        FitColumns();
    return QMainWindow::eventFilter(watched, event);
}

void TForm21::lvARListCustomDrawItem(QTreeWidgetItem &row, const TARInfo &record) {
    if (!record.IsChanged())
        return;
    for (int column = 0; column < colCount; ++column) {
        row.setBackground(column, ChangedRowBackground);
        row.setForeground(column, ChangedRowText);
    }
}

QString TForm21::lvARListInfoTip(const TARInfo &record) const {
    std::string tip;
    if (!record.IsContainerRow()) {
        tip = Format(SVideoFormatTip, record.Unit->VideoFormatText()) + STipLineBreak +
              record.Unit->OverscanText();
    }
    if (record.Track != nullptr && record.Track->HasStatement()) {
        const TRatio dar = record.Track->StatedDisplayAspectRatio();
        tip += (tip.empty() ? "" : STipLineBreak) +
               Format(SContainerAspectTip, std::to_string(dar.X) + ":" + std::to_string(dar.Y));
    }
    if (record.Track != nullptr && record.Track->ContainerOnly())
        tip += STipLineBreak + Format(SBitstreamLeftAsItIs, record.Track->Label, record.Track->Codec->Name);
    return Text(tip);
}

void TForm21::lvARListDblClick() {
    if (FScanning)
        return;
    int first = -1;
    for (int i = 0; i < lvARList->topLevelItemCount() && first < 0; ++i)
        if (lvARList->topLevelItem(i)->isSelected())
            first = i;
    LoadARInfo(first);
}

void TForm21::Exit1Click() {
    close();
}

// The format, and the codecs of its tracks behind it: "MP4 (ISO base media) · H.264".
void TForm21::ShowFormat() {
    std::string text = FormatName(FSession->Format);
    const std::vector<std::string> codecs = FSession->CodecNames();
    for (size_t i = 0; i < codecs.size(); ++i)
        text += (i == 0 ? SCodecSeparator : ", ") + codecs[i];
    lblFormat->setText(Text(text));
    const std::string unitName = FSession->RatioCodec().UnitName();
    Label4->setText(
        Text(unitName == "SPS" ? std::string(SSpsFoundLabel) : Format(SRatioUnitsFoundLabel, unitName)));
}

// ---- New aspect ratio panel ----

// The codes of the codec's table, then the item for a ratio the user types; that item alone for a row of
// no codec the program reads (a track changed in its container alone), which takes a ratio, not a code.
void TForm21::FillCodeList(const TCodec *codec) {
    FCodeListCodec = codec;
    const QSignalBlocker quiet(cbSAR);
    cbSAR->clear();
    if (codec != nullptr)
        for (uint8_t code : codec->PredefinedCodes())
            cbSAR->addItem(Text(codec->CodeLabel(code)), code);
    cbSAR->addItem(SCustomSar, PanelCustomCode);
}

void TForm21::LoadARInfo(int index) {
    if (index < 0 || index >= lvARList->topLevelItemCount())
        return;
    const TARInfo &record = *RowRecord(*lvARList->topLevelItem(index));
    if (record.Codec() != FCodeListCodec)
        FillCodeList(record.Codec());
    ARIdc = record.IsPredefined() ? record.EffectiveAspectRatioIdc() : PanelCustomCode;
    SARx = record.EffectiveSarWidth();
    SARy = record.EffectiveSarHeight();
    ResWidth = record.Width();
    ResHeight = record.Height();
    CalcDAR();
    UpdateNewARPanel();
}

void TForm21::UpdateNewARPanel() {
    if (ResWidth > 0 && ResHeight > 0)
        edtResolution->setText(Text(Format(SAtResolution, ResWidth, ResHeight)));
    SetFieldText(edtSARx, PositiveNumberText(SARx));
    SetFieldText(edtSARy, PositiveNumberText(SARy));
    btnSet->setEnabled(SARx > 0 && SARy > 0);
    SetFieldText(edtDARx, PositiveNumberText(DARx));
    SetFieldText(edtDARy, PositiveNumberText(DARy));
    cbSAR->setCurrentIndex(cbSAR->findData(ARIdc));
    cbSAR->setEnabled(rbSAR->isChecked());
    const bool customSar = rbSAR->isChecked() && cbSAR->currentData().toInt() == PanelCustomCode;
    for (QLineEdit *field : {edtSARx, edtSARy}) {
        field->setEnabled(customSar);
        field->setReadOnly(!customSar);
    }
    for (QLineEdit *field : {edtDARx, edtDARy}) {
        field->setEnabled(rbDAR->isChecked());
        field->setReadOnly(!rbDAR->isChecked());
    }
}

// The products are taken in 64 bits; a ratio whose reduced terms do not fit in 32 bits is not set.
void TForm21::CalcDAR() {
    TRatio dar;
    if (ResWidth > 0 && ResHeight > 0 && SARx > 0 && SARy > 0)
        dar = DarFromSar(SARx, SARy, ResWidth, ResHeight);
    const bool fits = FitsInt32(dar);
    DARx = fits ? static_cast<int32_t>(dar.X) : 0;
    DARy = fits ? static_cast<int32_t>(dar.Y) : 0;
}

// As CalcDAR; a SAR whose terms do not fit the 16-bit fields of the stream is not set.
void TForm21::CalcSAR() {
    TRatio sar;
    if (ResWidth > 0 && ResHeight > 0 && DARx > 0 && DARy > 0)
        sar = SarFromDar(DARx, DARy, ResWidth, ResHeight);
    if (IsSarTerm(sar.X) && IsSarTerm(sar.Y)) {
        SARx = static_cast<int32_t>(sar.X);
        SARy = static_cast<int32_t>(sar.Y);
        ARIdc = PanelCustomCode;
    } else {
        SARx = 0;
        SARy = 0;
    }
}

void TForm21::cbSARSelect(int index) {
    ARIdc = static_cast<uint8_t>(cbSAR->itemData(index).toInt());
    if (ARIdc != 0 && ARIdc != PanelCustomCode && FCodeListCodec != nullptr) {
        const TRatio sar = FCodeListCodec->SarOfCode(ARIdc, ResWidth, ResHeight);
        SARx = static_cast<int32_t>(sar.X);
        SARy = static_cast<int32_t>(sar.Y);
    }
    CalcDAR();
    UpdateNewARPanel();
}

void TForm21::rbSARClick() {
    UpdateNewARPanel();
}

void TForm21::rbDARClick() {
    UpdateNewARPanel();
}

void TForm21::edtSARxChange(const QString &text) {
    FieldChanged(text, SARx, &TForm21::CalcDAR);
}

void TForm21::edtSARyChange(const QString &text) {
    FieldChanged(text, SARy, &TForm21::CalcDAR);
}

void TForm21::edtDARxChange(const QString &text) {
    FieldChanged(text, DARx, &TForm21::CalcSAR);
}

void TForm21::edtDARyChange(const QString &text) {
    FieldChanged(text, DARy, &TForm21::CalcSAR);
}

// Only the user's edits arrive here (textEdited), never the panel's own updates.
void TForm21::FieldChanged(const QString &text, int32_t &value, void (TForm21::*convert)()) {
    if (text.isEmpty()) {
        value = 0;
        return;
    }
    bool ok = false;
    qlonglong number = text.toLongLong(&ok);
    if (!ok || number < 0 || number > MaxInt32)
        return;
    value = static_cast<int32_t>(number);
    (this->*convert)();
    UpdateNewARPanel();
}

void TForm21::btnSetClick() {
    if (ARIdc == 0 || SARx <= 0 || SARy <= 0) {
        btnSet->setEnabled(false);
        return;
    }
    const QList<QTreeWidgetItem *> selected = lvARList->selectedItems();
    if (selected.isEmpty())
        return;
    const TRatioChange change = PanelChange();
    QStringList refused;
    for (int i = 0; i < lvARList->topLevelItemCount(); ++i) {
        QTreeWidgetItem *row = lvARList->topLevelItem(i);
        if (!row->isSelected())
            continue;
        const std::string reason = change.ApplyTo(*RowRecord(*row));
        if (!reason.empty())
            refused << Text(Format(SRefusedRow, i, reason));
    }
    FillARList();
    if (!refused.isEmpty())
        FMessages.ShowMessage(refused.join('\n'));
}

// The panel's choice: a predefined code, a custom SAR, or a DAR that each row turns into its SAR at its
// own resolution.
TRatioChange TForm21::PanelChange() const {
    TRatioChange change;
    if (rbDAR->isChecked()) {
        change.Kind = TRatioChange::TKind::Dar;
        change.Ratio = {DARx, DARy};
    } else if (ARIdc == PanelCustomCode) {
        change.Kind = TRatioChange::TKind::Sar;
        change.Ratio = {SARx, SARy};
    } else {
        change.Kind = TRatioChange::TKind::Predefined;
        change.Code = ARIdc;
    }
    return change;
}

void TForm21::btnResetClick() {
    FSession->ARInfoList.ResetAll();
    FillARList();
}

void TForm21::btnSelectAllClick() {
    lvARList->selectAll();
}

// ---- Saving ----

void TForm21::actSaveExecute() {
    if (CurrentFile.isEmpty()) {
        actSave->setEnabled(false);
        return;
    }
    TARInfoList &records = FSession->ARInfoList;
    if (!records.CanSave()) {
        FMessages.ShowMessage(SSaveKindMismatch);
        return;
    }
    if (!FileExists(NativePath(CurrentFile)))
        throw EInOutError(Format(SFileNotFound, CurrentFile.toStdString()));
    TSaveSequence save(records);
    if (!ChangesWritable(save))
        return;
    // What the save will do to the container's own statements, told before the question.
    const std::vector<std::string> containerLines = save.ContainerLines();
    std::string question = SConfirmSave;
    for (const std::string &line : containerLines)
        question += "\n\n" + line;
    if (!FMessages.ConfirmSave(Text(question)))
        return;
    try {
        TOverrideCursor wait(Qt::WaitCursor);
        save.Apply(NativePath(CurrentFile));
        ParserProgress(0, 100);
    } catch (...) {
        FillARList();
        throw;
    }
    std::string saved = SAllChangesSaved;
    for (const std::string &line : containerLines)
        saved += "\n" + line;
    FMessages.ShowMessage(Text(saved));
    // A save that moved elements to make room leaves the rows pointing where they no longer lie: the file
    // is read anew.
    if (!FSession->Outdated.empty())
        LoadFile(CurrentFile);
    else
        FillARList();
    UpdateUndo();
}

bool TForm21::ChangesWritable(const TSaveSequence &save) {
    const std::vector<TWriteRefusal> refusals = save.Check(NativePath(CurrentFile));
    if (refusals.empty())
        return true;
    QStringList lines{Text(Format(SChangesRefused, refusals.size())), QString()};
    lvARList->clearSelection();
    for (const TWriteRefusal &refusal : refusals) {
        // A refusal of the file as a whole (an interrupted save) names no row.
        lines << Text(refusal.Index == TPlanEntry::NoRow
                          ? refusal.Reason
                          : Format(SRefusedRow, refusal.Index, refusal.Reason));
        if (QTreeWidgetItem *row = lvARList->topLevelItem(static_cast<int>(refusal.Index)))
            row->setSelected(true);
    }
    FMessages.ShowMessage(lines.join('\n'));
    return false;
}

// ---- Recovery and undo ----

namespace {

// When a journal's save began, in the user's locale.
std::string SaveTimeShown(const TSaveJournal &journal) {
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(journal.Time), QLocale::LongFormat).toStdString();
}

} // namespace

void TForm21::OfferRecovery() {
    std::optional<TFoundJournal> found;
    try {
        found = TJournalStore().Find(NativePath(CurrentFile));
    } catch (const Exception &damaged) {
        FMessages.ShowMessage(Text(damaged.what()));
        return;
    }
    if (!found || found->Journal.State != TJournalState::Pending)
        return;
    if (!FMessages.ConfirmRecovery(
            Text(Format(SRecoverQuestion, CurrentFile.toStdString(), SaveTimeShown(found->Journal)))))
        return;
    TRecovery recovery;
    {
        TOverrideCursor wait(Qt::WaitCursor);
        recovery = TSaveRollback(NativePath(CurrentFile)).Recover();
    }
    QStringList lines{Text(Format(SRecoveredMessage, recovery.PutBack))};
    for (const std::string &place : recovery.Neither)
        lines << Text(Format(SRecoveredNeither, place));
    FMessages.ShowMessage(lines.join('\n'));
}

void TForm21::UndoLastSaveClick() {
    if (CurrentFile.isEmpty() || FScanning)
        return;
    {
        TSaveRollback rollback(NativePath(CurrentFile));
        const std::string refusal = rollback.UndoRefusal();
        if (!refusal.empty()) {
            FMessages.ShowMessage(Text(refusal));
            UpdateUndo();
            return;
        }
        if (!FMessages.ConfirmUndo(Text(Format(SUndoQuestion, SaveTimeShown(*rollback.Journal()),
                                               rollback.Journal()->Places.size()))))
            return;
        TOverrideCursor wait(Qt::WaitCursor);
        const TWriteReport report = rollback.Undo();
        FMessages.ShowMessage(Text(Format(SSaveUndone, report.ByteCount, report.PatchCount)));
    }
    // The rows show what the file holds now.
    LoadFile(CurrentFile);
}

void TForm21::UpdateUndo() {
    bool undoable = false;
    if (!CurrentFile.isEmpty() && !FScanning) {
        try {
            const std::optional<TFoundJournal> found = TJournalStore().Find(NativePath(CurrentFile));
            undoable = found && found->Journal.State == TJournalState::Done;
        } catch (const std::exception &) {
            // A damaged journal, or a file gone: nothing to undo. The save and the open tell why.
        }
    }
    UndoLastSave1->setEnabled(undoable);
}

// ---- Start-up, drop and About box ----

void TForm21::closeEvent(QCloseEvent *event) {
    if (!FScanning) {
        event->accept();
        return;
    }
    FCloseRequested = true;
    btnCancelClick();
    event->ignore();
}

void TForm21::dragEnterEvent(QDragEnterEvent *event) {
    if (!FScanning && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TForm21::dropEvent(QDropEvent *event) {
    if (FScanning || !event->mimeData()->hasUrls())
        return;
    event->acceptProposedAction();
    QStringList files;
    for (const QUrl &url : event->mimeData()->urls())
        files << url.toLocalFile();
    Guarded([&] { DropFiles(files); });
}

void TForm21::DropFiles(const QStringList &files) {
    if (files.size() > 1) {
        FMessages.ShowMessage(SDropOneFileOnly);
        return;
    }
    if (files.isEmpty())
        return;
    LoadFile(files.first());
}

void TForm21::actAboutExecute() {
    frmAbout->exec();
}

void TForm21::OpenAtStart(const QStringList &arguments) {
    if (arguments.size() < 2)
        return;
    const QString path = QFileInfo(arguments.at(1)).absoluteFilePath();
    QTimer::singleShot(0, this, [this, path] {
        Guarded([&] {
            if (!FileExists(NativePath(path)))
                throw EInOutError(Format(SFileNotFound, path.toStdString()));
            LoadFile(path);
        });
    });
}

// ---- The preview ----

void TForm21::PreviewDecoded(const TPreviewFrame &frame) {
    if (frame.Image.isNull())
        pnlPreview->ShowPlaceholder();
    else
        pnlPreview->ShowPicture(frame.Image);
    FPreviewDar = DarFromSar(frame.SarWidth, frame.SarHeight, frame.Image.width(), frame.Image.height());
    UpdatePreview();
}

const TARInfo *TForm21::PreviewRecord() {
    const int rows = lvARList->topLevelItemCount();
    for (int i = 0; i < rows; ++i)
        if (lvARList->topLevelItem(i)->isSelected())
            return RowRecord(*lvARList->topLevelItem(i));
    for (int i = 0; i < rows; ++i)
        if (RowRecord(*lvARList->topLevelItem(i))->IsChanged())
            return RowRecord(*lvARList->topLevelItem(i));
    return rows > 0 ? RowRecord(*lvARList->topLevelItem(0)) : nullptr;
}

// Now: what the container states where it states anything (players built on libavformat believe it
// first), else the SPS. After saving: the row's new ratio, which the container's statements follow.
void TForm21::UpdatePreview() {
    // While the rows are still coming, and for a file without rows, the picture is drawn as the decoder
    // reads the file, which is what players built on it show.
    const TARInfo *record = FParser == nullptr ? PreviewRecord() : nullptr;
    if (record == nullptr) {
        pnlPreview->SetAspectRatios(FPreviewDar, {});
        return;
    }
    TRatio now;
    if (record->Track != nullptr && record->Track->HasStatement())
        now = record->Track->StatedDisplayAspectRatio();
    if (now.X <= 0 || now.Y <= 0)
        now = DarFromSar(record->CurrentSarWidth(), record->CurrentSarHeight(), record->Width(),
                         record->Height());
    TRatio after;
    if (record->NewAspectRatioIdc != 0)
        after = DarFromSar(record->EffectiveSarWidth(), record->EffectiveSarHeight(), record->Width(),
                           record->Height());
    pnlPreview->SetAspectRatios(now, after);
}
