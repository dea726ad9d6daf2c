#include "app/qt-station/PortTile.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qt-station/TileLayout.h"

namespace zq {

namespace {

// Dark enough to read on a light window, light enough to tell apart.
const QColor kGreen(0x1b, 0x7a, 0x2e);
const QColor kRed(0xc6, 0x28, 0x28);
const QColor kBlue(0x15, 0x65, 0xc0);
const QColor kAmber(0x8a, 0x5a, 0x00);
const QColor kSlate(0x4e, 0x5d, 0x6c);
const QColor kGrey(0x75, 0x75, 0x75);

// Colours for the enabled window only: a greyed tile keeps the style's grey.
// On the tile's Base background a label's text takes the Text role.
void Paint(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text}) {
        const QColor text = color.isValid() ? color : widget->parentWidget()->palette().color(role);
        palette.setColor(QPalette::Active, role, text);
        palette.setColor(QPalette::Inactive, role, text);
    }
    widget->setPalette(palette);
}

} // namespace

CPortTile::CPortTile(const PortInfo& port, QWidget* parent)
    : QFrame(parent),
      name_(QString::fromStdString(port.name)),
      title_(new QLabel(this)),
      adapter_(new CFittedLabel(1, Qt::ElideMiddle, this)),
      stateLabel_(new QLabel(this)),
      bar_(new QProgressBar(this)),
      note_(new CFittedLabel(2, Qt::ElideRight, this)),
      counters_(new QLabel(this)),
      fix_(new QPushButton(QStringLiteral("Set latency to %1 ms\u2026").arg(kLatencyFixMs), this)),
      retryButton_(new QPushButton(QStringLiteral("Retry"), this))
{
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);

    QFont bold = font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setText(name_);
    title_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stateLabel_->setFont(bold);
    QFont small = font();
    if (small.pointSizeF() > 0)
        small.setPointSizeF(small.pointSizeF() * 0.9);
    adapter_->setFont(small);
    adapter_->setForegroundRole(QPalette::PlaceholderText);
    counters_->setFont(small);

    bar_->setTextVisible(true);
    bar_->setRange(0, 1);
    bar_->setValue(0);
    bar_->setFormat(QString());

    auto* layout = new QVBoxLayout(this);
    const int gap = fontMetrics().height() / 4;
    layout->setSpacing(gap);
    layout->addWidget(title_);
    layout->addWidget(adapter_);
    layout->addWidget(stateLabel_);
    layout->addWidget(bar_);
    layout->addWidget(note_);
    // Under the hint it fixes; shown only then (the grid makes every tile as
    // tall as the tallest).
    layout->addWidget(fix_, 0, Qt::AlignLeft);
    // In the same place, after a failure the station holds (never with the fix).
    layout->addWidget(retryButton_, 0, Qt::AlignLeft);
    layout->addWidget(counters_);
    retryButton_->setToolTip(QStringLiteral("Flashes this unit again at its next beacon"));
    connect(retryButton_, &QPushButton::clicked, this, [this] {
        if (view_.Retryable() && retry_)
            retry_(view_.port.name);
    });
    fix_->setToolTip(QStringLiteral("Runs zerquill-flash --set-latency for this port, with the rights it needs"));
    connect(fix_, &QPushButton::clicked, this, [this] {
        if (const auto fix = view_.Fix(); fix && runFix_)
            runFix_(*fix);
    });

    // Wide enough for a by-path name's end and "Success Download!" at ease.
    setMinimumWidth(fontMetrics().averageCharWidth() * 34);
    view_.port = port;
    Draw(view_);
}

void CPortTile::SetInfo(const PortInfo& port)
{
    QStringList parts;
    if (!port.description.empty())
        parts << QString::fromStdString(port.description);
    if (!port.hardwareId.empty())
        parts << QString::fromStdString(port.hardwareId);
    // Which adapter, and which hub slot: what a technician looks for.
    if (!port.serialNumber.empty())
        parts << QStringLiteral("serial ") + QString::fromStdString(port.serialNumber);
    if (!port.location.empty())
        parts << QStringLiteral("at ") + QString::fromStdString(port.location);
    adapter_->setText(parts.isEmpty() ? QStringLiteral("serial port") : parts.join(QStringLiteral(" \u00b7 ")));
}

QString CPortTile::TitleText() const { return title_->text(); }
QString CPortTile::StateText() const { return stateLabel_->text(); }
QString CPortTile::NoteText() const { return note_->text(); }
QString CPortTile::BarText() const { return bar_->text(); }

namespace {

QColor StateColour(TileState state)
{
    switch (state) {
    case TileState::Waiting:
    case TileState::Unavailable: return kGrey;
    case TileState::Listening: return kBlue;
    case TileState::Flashing: return kAmber;
    case TileState::Success: return kGreen;
    case TileState::Cancelled: return kSlate;
    case TileState::Failed:
    case TileState::Busy:
    case TileState::Denied: return kRed;
    }
    return QColor();
}

} // namespace

void CPortTile::Draw(const TileView& view)
{
    view_ = view;
    const QString label = QString::fromStdString(view.label);
    title_->setText(label.isEmpty() ? name_ : label + QStringLiteral("  \u00b7  ") + name_);
    SetInfo(view.port);
    setEnabled(!view.gone);
    stateLabel_->setText(QString::fromStdString(TileWords(view.state)));
    Paint(stateLabel_, StateColour(view.state));
    note_->setText(QString::fromStdString(view.NoteShown()));
    note_->setToolTip(QString::fromStdString(view.fixWords.empty() ? view.noteWhole : view.note));
    Paint(note_, view.alarm ? kRed : QColor());
    const int blocks = int(view.progress.blocks);
    bar_->setRange(0, blocks > 0 ? blocks : 1);
    bar_->setValue(int(view.progress.done));
    bar_->setFormat(QString::fromStdString(view.BlockWords()));
    counters_->setText(QString::fromStdString(view.Counters()));
    fix_->setVisible(view.Fix().has_value());
    retryButton_->setVisible(view.Retryable());
}

}  // namespace zq
