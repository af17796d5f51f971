#pragma once

#include <QColor>
#include <QWidget>

// An alarm indicator: a filled rectangle with a thin border, light grey while its alarm is off and
// red while it is on. Its caption is a separate label laid over it.
class AlarmShape : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ fillColor)
    Q_PROPERTY(bool on READ isOn)
public:
    static const QColor kOff; // 224, 224, 224
    static const QColor kOn;  // 255, 0, 0

    explicit AlarmShape(QWidget *parent = nullptr);

    void setOn(bool on);
    bool isOn() const { return m_on; }
    QColor fillColor() const { return m_on ? kOn : kOff; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    bool m_on = false;
};
