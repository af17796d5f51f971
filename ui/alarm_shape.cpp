#include "ui/alarm_shape.h"

#include <QAccessible>
#include <QPainter>

const QColor AlarmShape::kOff(224, 224, 224);
const QColor AlarmShape::kOn(255, 0, 0);

AlarmShape::AlarmShape(QWidget *parent) : QWidget(parent)
{
    setAccessibleDescription(tr("Alarm off"));
}

void AlarmShape::setOn(bool on)
{
    if (on == m_on)
        return;
    m_on = on;
    setAccessibleDescription(on ? tr("Alarm on") : tr("Alarm off"));
    QAccessibleEvent event(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&event);
    update();
}

void AlarmShape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(fillColor());
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
