#include "app/qt-station/PortTile.h"

#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
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

QString Seconds(double s) { return QString::number(s, 'f', 1) + QStringLiteral(" s"); }

} // namespace

CPortTile::CPortTile(const PortInfo& port, QWidget* parent)
    : QFrame(parent),
      name_(QString::fromStdString(port.name)),
      title_(new QLabel(this)),
      adapter_(new CFittedLabel(1, Qt::ElideMiddle, this)),
      stateLabel_(new QLabel(this)),
      bar_(new QProgressBar(this)),
      note_(new CFittedLabel(2, Qt::ElideRight, this)),
      counters_(new QLabel(this))
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
    layout->addWidget(counters_);

    // Wide enough for a by-path name's end and "Success Download!" at ease.
    setMinimumWidth(fontMetrics().averageCharWidth() * 34);
    SetInfo(port);
    Show(State::Waiting);
    ShowCounters();
}

void CPortTile::SetLabel(const QString& label)
{
    title_->setText(label.isEmpty() ? name_ : label + QStringLiteral("  \u00b7  ") + name_);
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

void CPortTile::Show(State state)
{
    state_ = state;
    if (state != State::Refused)
        note_->setToolTip(QString());
    switch (state) {
    case State::Waiting:
        stateLabel_->setText(QStringLiteral("waiting"));
        Paint(stateLabel_, kGrey);
        break;
    case State::Listening:
        stateLabel_->setText(QStringLiteral("listening"));
        Paint(stateLabel_, kBlue);
        break;
    case State::Flashing:
        stateLabel_->setText(QStringLiteral("flashing"));
        Paint(stateLabel_, kAmber);
        break;
    case State::Success:
        stateLabel_->setText(QString::fromLatin1(kNoticeSuccess));
        Paint(stateLabel_, kGreen);
        break;
    case State::Failed:
        stateLabel_->setText(QString::fromLatin1(kNoticeFail));
        Paint(stateLabel_, kRed);
        break;
    case State::Cancelled:
        stateLabel_->setText(QStringLiteral("cancelled"));
        Paint(stateLabel_, kSlate);
        break;
    case State::Refused: // its words are the caller's
        Paint(stateLabel_, kRed);
        break;
    }
}

void CPortTile::ShowCounters()
{
    QString text = QStringLiteral("written %1   failed %2").arg(written_).arg(failed_);
    if (ended_)
        text += QStringLiteral("   last ") + Seconds(lastSeconds_);
    counters_->setText(text);
}

void CPortTile::Wait()
{
    if (state_ == State::Refused)
        note_->setText(QString());
    if (state_ == State::Listening || state_ == State::Refused)
        Show(State::Waiting);
}

void CPortTile::Refuse(const QString& state, const QString& note, const QString& whole)
{
    if (state_ == State::Flashing)
        return;
    note_->setText(note);
    note_->setToolTip(whole);
    Paint(note_, kRed);
    bar_->setValue(0);
    bar_->setFormat(QString());
    Show(State::Refused);
    stateLabel_->setText(state);
}

void CPortTile::Listen()
{
    if (state_ == State::Flashing)
        return; // its end is on the way
    // The device has gone: a failure stays readable until the next one arrives.
    if (state_ == State::Failed)
        note_->setText(QStringLiteral("last: ") + note_->text());
    else if (state_ != State::Listening)
        note_->setText(QString());
    Paint(note_, QColor());
    bar_->setValue(0);
    bar_->setFormat(QString());
    Show(State::Listening);
}

void CPortTile::Flash()
{
    note_->setText(QString());
    bar_->setRange(0, 1);
    bar_->setValue(0);
    bar_->setFormat(QString());
    Show(State::Flashing);
}

void CPortTile::Hint(const QString& text)
{
    if (state_ != State::Flashing)
        return;
    note_->setText(text);
    Paint(note_, QColor());
}

void CPortTile::Progress(const StageReport& report)
{
    if (state_ != State::Flashing)
        return;
    const int blocks = int(report.blocks);
    bar_->setRange(0, blocks > 0 ? blocks : 1);
    bar_->setValue(int(report.done));
    bar_->setFormat(QStringLiteral("block %1 / %2").arg(report.done).arg(report.blocks));
}

void CPortTile::End(bool success, bool cancelled, const QString& note, double seconds, uint32_t blocks)
{
    ended_ = true;
    lastSeconds_ = seconds;
    if (success) {
        ++written_;
        bar_->setRange(0, blocks > 0 ? int(blocks) : 1);
        bar_->setValue(bar_->maximum());
        bar_->setFormat(QStringLiteral("block %1 / %1").arg(blocks));
        Show(State::Success);
        Paint(note_, QColor());
    } else if (cancelled) {
        Show(State::Cancelled);
        Paint(note_, QColor());
    } else {
        ++failed_;
        Show(State::Failed);
        Paint(note_, kRed);
    }
    note_->setText(cancelled ? QString() : note);
    ShowCounters();
}

void CPortTile::SetGone(bool gone)
{
    if (gone == gone_)
        return;
    gone_ = gone;
    setEnabled(!gone);
    if (gone)
        Wait();
}

void CPortTile::Stop()
{
    if (state_ == State::Listening || state_ == State::Flashing || state_ == State::Refused)
        Show(State::Waiting);
}

}  // namespace zq
