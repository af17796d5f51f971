// The main window's controls: names, captions, tooltips, initial texts and places. Places are in
// twips (15 twips to the pixel) relative to the container, as the panel's layout was drawn.
#include "ui/alarm_shape.h"
#include "ui/artwork.h"
#include "ui/form1.h"

#include "ui/display_boxes.h"
#include "ui/value_lists.h"
#include "status/report.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStyle>
#include <QStyleOption>
#include <QStatusBar>

namespace {

int px(int twips) { return qRound(twips / 15.0); }

QRect tw(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

template <typename W> W *make(QWidget *parent, const char *name, QRect place)
{
    auto *w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(place);
    return w;
}

QString withoutColon(QString caption)
{
    if (caption.endsWith(u':'))
        caption.chop(1);
    return caption;
}

QFont makeFont(const char *family, qreal points, bool bold)
{
    QFont f(QString::fromLatin1(family));
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

// Shrinks the font of a caption that does not fit its place in the platform's font (the places
// were drawn for a narrower one), down to 6.5 pt at the least.
void fitCaption(QWidget *w, const QString &text, QSize room, int flags = 0)
{
    QFont f = w->font();
    auto fits = [&] {
        const QRect needed = QFontMetrics(f).boundingRect(QRect(QPoint(0, 0), room), flags, text);
        return needed.width() <= room.width() && needed.height() <= room.height();
    };
    while (!fits() && f.pointSizeF() > 6.5)
        f.setPointSizeF(f.pointSizeF() - 0.25);
    w->setFont(f);
}

// A caption of our own: plain text always, sized to its text unless a size is given.
QLabel *label(QWidget *parent, const char *name, const QString &text, int left, int top, int width = 0,
              int height = 0)
{
    auto *l = new QLabel(parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setTextFormat(Qt::PlainText);
    l->setText(text);
    if (width > 0) {
        l->setGeometry(tw(left, top, width, height));
    } else {
        l->move(px(left), px(top));
        l->adjustSize();
    }
    return l;
}

QGroupBox *group(QWidget *parent, const char *name, const QString &title, QRect place)
{
    auto *g = make<QGroupBox>(parent, name, place);
    g->setTitle(title);
    g->setAccessibleName(title);
    return g;
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, QRect place)
{
    auto *b = make<QPushButton>(parent, name, place);
    b->setText(text);
    b->setAccessibleName(text);
    // The style draws the caption inside its bevel and margins on either side.
    const int margins = 2 * (b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b)
                             + b->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, b));
    fitCaption(b, text, QSize(place.width() - margins, place.height() - margins / 2));
    return b;
}

QCheckBox *checkBox(QWidget *parent, const char *name, const QString &text, QRect place)
{
    auto *c = make<QCheckBox>(parent, name, place);
    c->setText(text);
    c->setAccessibleName(text);
    c->setChecked(true);
    const int indicator = c->style()->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, c)
                          + c->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, c);
    fitCaption(c, text, QSize(place.width() - indicator, place.height()));
    return c;
}

QRadioButton *option(QWidget *parent, const char *name, const QString &text, QRect place,
                     const QString &tip)
{
    auto *o = make<QRadioButton>(parent, name, place);
    o->setText(text);
    o->setAccessibleName(text);
    o->setToolTip(tip);
    return o;
}

// A drop-down list with its label to the left, the label centred on the list's height.
QComboBox *list(QWidget *parent, const char *name, int labelLeft, int left, int top, int width)
{
    const value_lists::List *entries = value_lists::find(name);
    const QString caption = entries ? QString::fromLatin1(entries->label) : QString();
    auto *l = label(parent, (std::string("Label") + name).c_str(), caption, labelLeft, top,
                    left - labelLeft, 315);
    l->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    fitCaption(l, caption, l->size());
    auto *c = make<QComboBox>(parent, name, tw(left, top, width, 315));
    c->setEditable(false);
    // Every entry must show whole in the box beside the arrow, the longest included.
    if (entries) {
        QStyleOptionComboBox option;
        option.initFrom(c);
        const QRect field = c->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                       QStyle::SC_ComboBoxEditField, c);
        const QFontMetrics fm(c->font());
        QString longest;
        int longestWidth = 0;
        for (const QString &entry : entries->entries) {
            const int width = fm.horizontalAdvance(entry);
            if (width > longestWidth) {
                longest = entry;
                longestWidth = width;
            }
        }
        fitCaption(c, longest, QSize(field.width(), c->height()));
    }
    c->setAccessibleName(withoutColon(caption));
    l->setBuddy(c);
    return c;
}

QProgressBar *progressBar(QWidget *parent, const char *name, QRect place, int maximum,
                          const QString &accessibleName)
{
    auto *p = make<QProgressBar>(parent, name, place);
    p->setRange(0, maximum);
    p->setValue(0);
    p->setTextVisible(false);
    p->setAccessibleName(accessibleName);
    return p;
}

} // namespace

void Form1::buildLayout()
{
    setObjectName("Form1");
    setWindowTitle(QString::fromLatin1(kTitle));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    // The places were drawn for an 8 pt interface font; the platform's family, at that size, keeps
    // every caption inside its place. Fonts named by a control stay as they are.
    QFont base = font();
    base.setPointSizeF(8.25);
    setFont(base);
    buildMenu();

    auto *central = new QWidget(this);
    central->setObjectName("Client");
    central->setAccessibleName(tr("Control panel"));
    setCentralWidget(central);
    buildAmplifierBoard(central);
    buildPowerDisplay(central);
    buildButtons(central);
    buildStatusFrame(central);
    buildRightColumn(central);
    buildHiddenControls(central);

    auto *bar = new QStatusBar(this);
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(false);
    // Whatever the status bar shows is its accessible name too, so screen readers read it.
    connect(bar, &QStatusBar::messageChanged, bar, [bar](const QString &text) { bar->setAccessibleName(text); });
    setStatusBar(bar);
    bar->showMessage(tr("Ready"));

    keepDesignedSize();
}

void Form1::buildMenu()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->setObjectName("filemnu");
    QAction *setup = file->addAction(tr("S&etup"), this, &Form1::SetupMnu_Click);
    setup->setObjectName("SetupMnu");
    QAction *exit = file->addAction(tr("E&xit"), this, &Form1::Exitmnu_Click);
    exit->setObjectName("Exitmnu");
    QMenu *view = menuBar()->addMenu(tr("&View"));
    view->setObjectName("viewmnu");
    QAction *events = view->addAction(tr("&Events..."), this, &Form1::EventsMnu_Click);
    events->setObjectName("EventsMnu");
    QAction *history = view->addAction(tr("&History..."), this, &Form1::HistoryMnu_Click);
    history->setObjectName("HistoryMnu");
}

void Form1::buildAmplifierBoard(QWidget *central)
{
    auto *board = group(central, "Frame39", tr("Universal RF amplifier control board"),
                        tw(120, 120, 4935, 3975));

    auto *power = group(board, "Frame41", tr("Amplifier output power"), tw(240, 240, 4515, 945));
    m_slider1 = make<QSlider>(power, "Slider1", tw(330, 270, 3825, 285));
    m_slider1->setOrientation(Qt::Horizontal);
    m_slider1->setRange(0, 100);
    m_slider1->setTickInterval(10);
    m_slider1->setTickPosition(QSlider::TicksBelow);
    m_slider1->setSingleStep(1);
    m_slider1->setPageStep(10);
    m_slider1->setToolTip(tr("Output power"));
    m_slider1->setAccessibleName(tr("Amplifier output power"));
    label(power, "LabelScaleOFF", tr("OFF"), 300, 650);
    label(power, "LabelScale25", tr("25%"), 1260, 650);
    label(power, "LabelScale50", tr("50%"), 2130, 650);
    label(power, "LabelScale75", tr("75%"), 2970, 650);
    label(power, "LabelScale100", tr("100%"), 3840, 650);

    auto *alarms = group(board, "Frame5", tr("Alarm levels"), tw(240, 1320, 4485, 2535));
    list(alarms, "Combo5", 300, 2430, 330, 1695);
    list(alarms, "Combo4", 300, 2430, 750, 1695);
    list(alarms, "Combo8", 300, 2430, 1170, 1695);
    list(alarms, "Combo14", 300, 2430, 1590, 1695);
    list(alarms, "Combo9", 300, 2430, 2010, 1695);
}

// A read-only display box for a report field: plain text only, its caption and initial text from
// the report's field table, "Arial" 12 pt bold.
QLineEdit *Form1::displayBox(QWidget *parent, const char *name, int left, int top, int width, int height)
{
    auto *box = make<QLineEdit>(parent, name, tw(left, top, width, height));
    box->setReadOnly(true);
    box->setFont(makeFont("Arial", 12, true));
    for (int i = 0; i < report::kTextFields; ++i) {
        const display_boxes::Box &shown = display_boxes::boxes()[size_t(i)];
        if (qstrcmp(shown.control, name) == 0) {
            box->setText(QString::fromLatin1(report::fields()[size_t(i)].initial));
            box->setCursorPosition(0);
            box->setAccessibleName(withoutColon(QString::fromLatin1(shown.caption)));
            m_display[i] = box;
        }
    }
    return box;
}

void Form1::buildPowerDisplay(QWidget *central)
{
    auto *frame = group(central, "Frame3", tr("Output power and  reflected power"), tw(120, 4080, 4935, 1665));
    label(frame, "LabelText1", tr("Output power:"), 480, 360);
    displayBox(frame, "Text1", 480, 600, 1575, 400);
    label(frame, "LabelText2", tr("Reflected power:"), 2400, 360);
    displayBox(frame, "Text2", 2400, 600, 1575, 400);
    label(frame, "LabelProgressBar2", tr("RF drive:"), 480, 1230)->setEnabled(false);
    m_progressBar2 = progressBar(frame, "ProgressBar2", tw(1380, 1200, 2475, 240), 100, tr("RF drive"));
}

void Form1::buildButtons(QWidget *central)
{
    auto *frame = group(central, "Frame2", QString(), tw(120, 5880, 4905, 1425));
    frame->setAccessibleName(tr("Amplifier update"));
    m_command16 = button(frame, "Command16", tr("Update amplifier"), tw(420, 300, 1425, 400));
    m_command2 = button(frame, "Command2", tr("Systray"), tw(2070, 300, 1365, 400));
    m_check5 = checkBox(frame, "Check5", tr("To tray at start"), tw(2070, 780, 1485, 285));
    m_progressBar1 = progressBar(frame, "ProgressBar1", tw(390, 810, 1470, 240), 21, tr("Progress"));
}

void Form1::buildStatusFrame(QWidget *central)
{
    auto *frame = group(central, "Frame1", tr("RF amplifier status"), tw(5400, 0, 3795, 7365));
    struct Row { const char *box; int top; };
    static const Row rows[] = {
        {"Text4", 120},  {"Text3", 600},  {"Text9", 1080},  {"Text13", 1560}, {"Text15", 2040},
        {"Text16", 2520}, {"Text5", 3000}, {"Text17", 3480}, {"Text18", 3960}, {"Text19", 4440},
    };
    for (const Row &row : rows) {
        const std::string labelName = std::string("Label") + row.box;
        QLabel *caption = label(frame, labelName.c_str(), QString(), 360, row.top + 120);
        // Text17 and Text18 stand on the window itself, at the same place over the frame.
        const bool onWindow = qstrcmp(row.box, "Text17") == 0 || qstrcmp(row.box, "Text18") == 0;
        QLineEdit *box = onWindow ? displayBox(central, row.box, 5400 + 2040, row.top, 1575, 400)
                                  : displayBox(frame, row.box, 2040, row.top, 1575, 400);
        caption->setText(box->accessibleName() + u':');
        caption->adjustSize();
    }

    struct Indicator { const char *shape; QRect place; const char *caption; QRect captionPlace; };
    const Indicator indicators[] = {
        {"Shape2", tw(180, 5040, 1005, 645), "SWR ALARM", tw(360, 5160, 675, 555)},
        {"Shape1", tw(1380, 5040, 1005, 645), "AMP T   ALARM", tw(1440, 5160, 795, 495)},
        {"Shape3", tw(2520, 5040, 1005, 645), "PSU T  ALARM", tw(2640, 5160, 825, 435)},
        {"Shape4", tw(180, 5880, 1605, 645), "OVER-CURRENT        ALARM", tw(240, 6000, 1485, 435)},
        {"Shape5", tw(1920, 5880, 1695, 645), "RF OVERDRIVE         ALARM", tw(2040, 6000, 1455, 435)},
    };
    for (const Indicator &in : indicators) {
        auto *shape = make<AlarmShape>(frame, in.shape, in.place);
        const QString caption = QString::fromLatin1(in.caption);
        shape->setAccessibleName(caption.simplified());
        m_shapes[QByteArray(in.shape + 5).toInt() - 1] = shape;
        auto *text = make<QLabel>(frame, (std::string("Label") + in.shape).c_str(), in.captionPlace);
        text->setTextFormat(Qt::PlainText);
        text->setText(caption);
        text->setWordWrap(true);
        text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        text->setFont(makeFont("MS Sans Serif", 8.25, true));
        text->setAutoFillBackground(false);
        text->setBuddy(shape);
    }

    m_command4 = button(frame, "Command4", tr("Read status"), tw(240, 6720, 1455, 400));
    m_check1 = checkBox(frame, "Check1", tr("Auto read status"), tw(1920, 6720, 1575, 345));
}

void Form1::buildRightColumn(QWidget *central)
{
    auto *picture = make<QLabel>(central, "Picture1", tw(9690, 90, 1320, 1320));
    picture->setPixmap(artwork::logo());
    picture->setAccessibleName(tr("Logo"));

    label(central, "LabelText12", tr("Uptime (D/H/M):"), 9360, 2040);
    displayBox(central, "Text12", 9360, 2280, 2295, 375);
    label(central, "LabelText11", tr("Power limit:"), 9360, 2640);
    displayBox(central, "Text11", 9360, 2880, 2235, 400);
    label(central, "LabelText14", tr("Firmware version:"), 9360, 3360);
    displayBox(central, "Text14", 9360, 3600, 2205, 315)->setFont(makeFont("Arial", 8.25, true));

    auto *logo = group(central, "Frame6", tr("Logo setup"), tw(9360, 4080, 2235, 3195));
    QLabel *note = label(logo, "LabelLogoNote", tr("Please note that each line can ony accept 16 characters!"),
                         150, 240, 1605, 645);
    note->setWordWrap(true);
    note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fitCaption(note, note->text(), note->size(), Qt::TextWordWrap);
    label(logo, "LabelText7", tr("Logo line1:"), 210, 960);
    m_text7 = make<QLineEdit>(logo, "Text7", tw(210, 1200, 1815, 345));
    m_text7->setText(tr("Logo Line 1"));
    m_text7->setAccessibleName(tr("Logo line1"));
    label(logo, "LabelText6", tr("Logo line2:"), 210, 1680);
    m_text6 = make<QLineEdit>(logo, "Text6", tw(210, 1920, 1815, 345));
    m_text6->setText(tr("Logo Line 2"));
    m_text6->setAccessibleName(tr("Logo line2"));
    for (QLineEdit *box : {m_text7, m_text6})
        box->setFont(makeFont("Arial", 8.25, true));
    m_command9 = button(logo, "Command9", tr("Update Logo text"), tw(480, 2400, 1425, 540));
}

// Left of 12120 twips or more: beyond the client width, never seen, yet filled and bound.
void Form1::buildHiddenControls(QWidget *central)
{
    const QString stereoTip = tr("Stereo/mono selection");
    auto *stereo = group(central, "Frame45", tr("Stereo/Mono"), tw(12360, 4680, 2130, 855));
    stereo->setToolTip(stereoTip);
    m_option30 = option(stereo, "Option30", tr("Stereo"), tw(240, 330, 915, 255), stereoTip);
    m_option31 = option(stereo, "Option31", tr("Mono"), tw(1110, 330, 795, 255), stereoTip);
    m_option30->setChecked(true);

    const QString dspTip = tr("Audio compressor settings, for DSP models only");
    auto *tone = group(central, "Frame43", tr("Bass and Treble"), tw(12240, 3480, 2760, 1185));
    tone->setToolTip(dspTip);
    list(tone, "Combo10", 120, 1110, 330, 1450);
    list(tone, "Combo12", 120, 1110, 780, 1450);

    auto *input = group(central, "Frame4", tr("Audio input level"), tw(12120, 6240, 2715, 1065));
    list(input, "Combo3", 120, 1110, 300, 1450);
    list(input, "Combo2", 120, 1110, 660, 1450);

    auto *compressor = group(central, "Frame44", tr("Audio Compressor Settings"), tw(13680, 5760, 3015, 2235));
    compressor->setToolTip(dspTip);
    list(compressor, "Combo1", 120, 1110, 1410, 1450);
    list(compressor, "Combo11", 120, 1110, 1770, 1450);

    const QString typeTip = tr("Leave as A by default");
    auto *type = group(central, "Frame38", tr("FM Transmitter Type"), tw(12360, 5640, 2070, 855));
    type->setToolTip(tr("FM transmitter type"));
    option(type, "OptionMicro", tr("ValtronaMicro v3.0"), tw(120, 270, 1830, 255), typeTip)->setEnabled(false);
    option(type, "OptionFMPlus", tr("Valtrona FM+"), tw(120, 540, 1830, 255), typeTip)->setChecked(true);

    const QString jumperTip = tr("Set with jumper on stereo encoder");
    auto *preemphasis = group(central, "Frame42", tr("Preemphasis"), tw(12480, 6600, 1350, 1005));
    preemphasis->setToolTip(jumperTip);
    option(preemphasis, "Option75uS", tr("75uS"), tw(240, 300, 915, 255), jumperTip)->setEnabled(false);
    QRadioButton *fifty = option(preemphasis, "Option50uS", tr("50uS"), tw(240, 600, 915, 255), jumperTip);
    fifty->setChecked(true);
    fifty->setEnabled(false);
    preemphasis->setEnabled(false);

    m_text8 = make<QPlainTextEdit>(central, "Text8", tw(12480, 120, 1965, 1965));
    m_text8->setAccessibleName(tr("Receive buffer"));
    button(central, "Command11", tr("Clear"), tw(12510, 2160, 1965, 330));
}
