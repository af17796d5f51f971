#include "ui/value_lists.h"
#include "support/ui/panel_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QtTest>

// Whether the window's controls stand where the layout puts them without hiding one another or
// cutting off their texts, with the fonts and the style in use (run at 1x and, as a second test,
// at QT_SCALE_FACTOR=2). Places are checked against their containers, siblings against each other,
// and every caption against the room its control gives it.
class TestUiGeometry : public WindowTest
{
    Q_OBJECT

    // Pairs of siblings the layout lays over one another: each alarm caption on its rectangle, and
    // the two voltage boxes that stand on the window over the status frame.
    static bool overlapAllowed(const QString &a, const QString &b)
    {
        static const QSet<QPair<QString, QString>> pairs = {
            {"LabelShape1", "Shape1"}, {"LabelShape2", "Shape2"}, {"LabelShape3", "Shape3"},
            {"LabelShape4", "Shape4"}, {"LabelShape5", "Shape5"}, {"Text17", "Frame1"}, {"Text18", "Frame1"},
        };
        return pairs.contains({a, b}) || pairs.contains({b, a});
    }

    // The controls of a window: named widgets, not Qt's own parts of a control.
    static QList<QWidget *> controls(QWidget *root)
    {
        QList<QWidget *> out;
        for (QWidget *w : root->findChildren<QWidget *>()) {
            if (w->objectName().isEmpty() || w->objectName().startsWith("qt_") || w->isWindow())
                continue;
            if (!qobject_cast<QWidget *>(w->parent()) || w->parentWidget()->inherits("QComboBox"))
                continue;
            out << w;
        }
        return out;
    }

    QList<QWidget *> allControls() { return controls(m_form->centralWidget()); }

    // Whether `w` stands right of the client area, among the controls that are filled and bound but
    // never seen (12120 twips and more).
    bool beyondClient(QWidget *w) const
    {
        return w->mapTo(m_form->centralWidget(), QPoint(0, 0)).x() >= qRound(12120 / 15.0);
    }

    // The room a control gives its caption, and the caption's width in the control's font; an
    // empty text needs no room.
    struct Fit {
        QString text;
        int needed = 0;
        int room = 0;
        int neededHeight = 0;
        int roomHeight = 0;
    };

    static Fit fitOf(QWidget *w)
    {
        const QFontMetrics fm(w->font());
        QStyle *style = w->style();
        Fit fit;
        auto line = [&](const QString &text, int reserved, int height) {
            fit.text = text;
            fit.needed = fm.horizontalAdvance(QString(text).remove(u'&')) + reserved;
            fit.room = w->width();
            fit.neededHeight = fm.height();
            fit.roomHeight = height;
        };
        if (auto *l = qobject_cast<QLabel *>(w)) {
            if (l->text().isEmpty())
                return fit;
            const QRect room = l->contentsRect().adjusted(l->margin(), l->margin(), -l->margin(), -l->margin());
            if (l->wordWrap()) {
                const QRect needed = fm.boundingRect(QRect(QPoint(0, 0), QSize(room.width(), 10000)),
                                                     int(l->alignment()) | Qt::TextWordWrap, l->text());
                fit = {l->text(), needed.width(), room.width(), needed.height(), room.height()};
            } else {
                line(l->text(), w->width() - room.width(), room.height());
            }
        } else if (auto *c = qobject_cast<QCheckBox *>(w)) {
            line(c->text(),
                 style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, w)
                     + style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, w),
                 w->height());
        } else if (auto *r = qobject_cast<QRadioButton *>(w)) {
            line(r->text(),
                 style->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth, nullptr, w)
                     + style->pixelMetric(QStyle::PM_RadioButtonLabelSpacing, nullptr, w),
                 w->height());
        } else if (auto *b = qobject_cast<QPushButton *>(w)) {
            const int margins = 2 * (style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, w)
                                     + style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, w));
            line(b->text(), margins, w->height() - margins / 2);
        } else if (auto *g = qobject_cast<QGroupBox *>(w)) {
            if (g->title().isEmpty())
                return fit;
            QStyleOptionGroupBox option;
            option.initFrom(g);
            option.text = g->title();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            option.lineWidth = 1;
            const QRect label = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, g);
            fit = {g->title(), label.right() + 1, g->width(), fm.height(), label.bottom() + 1};
        }
        return fit;
    }

private slots:
    void initTestCase()
    {
        m_form.start("[ValtronaAmp%2B]\nTrayAtStart=False\nAutoRead=False\n");
        QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
        QVERIFY(allControls().size() > 100);
    }

    void cleanupTestCase()
    {
        m_form.reset();
    }

    void controlsLieInsideTheirContainers()
    {
        // The groups kept right of the client area lie beyond it on purpose; what they hold must
        // still lie inside them.
        for (QWidget *w : allControls()) {
            if (w->parentWidget() == m_form->centralWidget() && beyondClient(w))
                continue;
            const QRect container = w->parentWidget()->rect();
            QVERIFY2(container.contains(w->geometry()),
                     qPrintable(QString("%1 at %2,%3 %4x%5 leaves %6 (%7x%8)")
                                    .arg(w->objectName()).arg(w->x()).arg(w->y()).arg(w->width())
                                    .arg(w->height()).arg(w->parentWidget()->objectName())
                                    .arg(container.width()).arg(container.height())));
        }
    }

    // Among the controls on show; those never seen are placed as the layout left them.
    void siblingsDoNotOverlap()
    {
        int pairs = 0;
        QList<QWidget *> all = allControls();
        all.removeIf([this](QWidget *w) { return beyondClient(w); });
        for (QWidget *a : all) {
            for (QWidget *b : all) {
                if (a >= b || a->parentWidget() != b->parentWidget())
                    continue;
                ++pairs;
                if (overlapAllowed(a->objectName(), b->objectName()))
                    continue;
                // Neighbouring groups share their border line where the layout draws them 15 twips
                // (one pixel) into each other.
                const QRect common = a->geometry().intersected(b->geometry());
                QVERIFY2(common.isEmpty() || qMin(common.width(), common.height()) <= 1,
                         qPrintable(QString("%1 and %2 overlap in %3").arg(a->objectName(), b->objectName(),
                                                                          a->parentWidget()->objectName())));
            }
        }
        QVERIFY(pairs > 100);
    }

    // Each alarm caption's wrapped text is drawn inside its rectangle (the caption's box may reach
    // past the rectangle's edge; the text must not).
    void captionsLieOnTheirIndicators_data()
    {
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("indicator");
        for (int i = 1; i <= 5; ++i)
            QTest::newRow(qPrintable(QString("Shape%1").arg(i))) << QString("LabelShape%1").arg(i)
                                                                << QString("Shape%1").arg(i);
    }

    void captionsLieOnTheirIndicators()
    {
        QFETCH(QString, caption);
        QFETCH(QString, indicator);
        QWidget *c = m_form->findChild<QWidget *>(caption);
        QWidget *s = m_form->findChild<QWidget *>(indicator);
        QVERIFY(c && s);
        auto *label = qobject_cast<QLabel *>(c);
        QVERIFY(label && label->wordWrap());
        const QRect text = QFontMetrics(label->font())
                               .boundingRect(QRect(QPoint(0, 0), label->size()), int(label->alignment())
                                                 | Qt::TextWordWrap, label->text())
                               .translated(label->pos());
        QVERIFY2(s->geometry().contains(text),
                 qPrintable(QString("%1's text at %2,%3 %4x%5").arg(caption).arg(text.x()).arg(text.y())
                                .arg(text.width()).arg(text.height())));
        // Two lines, as drawn: "ALARM" on the second.
        QCOMPARE(text.height(), 2 * QFontMetrics(label->font()).height());
    }

    void textsFitTheirControls()
    {
        int checked = 0;
        for (QWidget *w : allControls()) {
            const Fit fit = fitOf(w);
            if (fit.text.isEmpty())
                continue;
            ++checked;
            const QString where = QString("%1 \"%2\" in %3 pt").arg(w->objectName(), fit.text)
                                      .arg(w->font().pointSizeF());
            QVERIFY2(fit.needed <= fit.room,
                     qPrintable(QString("%1 needs %2 px, has %3").arg(where).arg(fit.needed).arg(fit.room)));
            QVERIFY2(fit.neededHeight <= fit.roomHeight,
                     qPrintable(QString("%1 needs %2 px of height, has %3").arg(where).arg(fit.neededHeight)
                                    .arg(fit.roomHeight)));
        }
        // Labels, buttons, check boxes, options and group titles.
        QVERIFY(checked >= 60);
    }

    // A list shows its entry in the box, beside the drop-down arrow: every entry must fit there.
    void listEntriesFitTheirBoxes()
    {
        for (const value_lists::List &list : value_lists::lists()) {
            auto *combo = m_form->findChild<QComboBox *>(QString::fromLatin1(list.control));
            QVERIFY2(combo, list.control);
            QStyleOptionComboBox option;
            option.initFrom(combo);
            option.editable = combo->isEditable();
            option.frame = combo->hasFrame();
            const QRect field
                = combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
            const QFontMetrics fm(combo->font());
            for (const QString &entry : list.entries)
                QVERIFY2(fm.horizontalAdvance(entry) <= field.width(),
                         qPrintable(QString("%1 entry \"%2\" needs %3 px, the box shows %4")
                                        .arg(list.control, entry).arg(fm.horizontalAdvance(entry))
                                        .arg(field.width())));
        }
    }
};

QTEST_MAIN(TestUiGeometry)
#include "tst_ui_geometry.moc"
