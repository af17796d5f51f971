// Text from the store and the wire shown in tooltips stays text: a port path or a lost device
// written as markup is shown as it stands, never rendered (an image 30000 pixels wide, say).
#include "ui/form1.h"
#include "ui/frm_setup.h"
#include "ui/plain_text.h"

#include "support/test_env.h"

#include <QComboBox>
#include <QTextDocument>
#include <QtTest>

namespace {

// What a tooltip shows: its rich text's plain text if Qt takes it for rich text, else itself.
QString shownText(const QString &tip)
{
    if (!Qt::mightBeRichText(tip))
        return tip;
    QTextDocument doc;
    doc.setHtml(tip);
    return doc.toPlainText();
}

} // namespace

class TestUiPlainText : public QObject
{
    Q_OBJECT

    TestStoreHome m_home;

private slots:
    void tooltipsShowTextAsItStands_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("image") << "COM 4: /dev/<img src=x width=30000>";
        QTest::newRow("bold first") << "<b>COM 4</b>: /dev/ttyUSB0";
        QTest::newRow("two lines") << "COM 5: <i>x</i>\nUSB <a href=y>adapter</a>, 0403:6001";
        QTest::newRow("ampersand") << "COM 6: /dev/a&amp;b";
        QTest::newRow("plain") << "ValtronaAmp+ V4.1";
    }
    void tooltipsShowTextAsItStands()
    {
        QFETCH(QString, text);
        const QString tip = plainToolTip(text);
        QCOMPARE(shownText(tip), text);
        if (!Qt::mightBeRichText(text))
            QCOMPARE(tip, text); // nothing changes for a text that is no markup
    }

    // The setup dialog's entry for a port whose stored path is markup.
    void setupEntryOfAMarkupPath()
    {
        const QByteArray path = "/tmp/<img src=x width=30000>";
        m_home.writeStore("[Ports]\nCOM4=" + path + "\n\n[ValtronaAmp%2B]\nTrayAtStart=False\n");
        Form1 form;
        form.start();
        form.SetupMnu_Click();
        auto *setup = form.findChild<FrmSetup *>();
        QVERIFY(setup);
        const QString tip = setup->combo()->itemData(3, Qt::ToolTipRole).toString();
        QVERIFY2(shownText(tip).contains(QString::fromLatin1(path)), qPrintable(tip));
        setup->close();
    }
};

QTEST_MAIN(TestUiPlainText)
#include "tst_ui_plaintext.moc"
