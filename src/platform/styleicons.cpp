#include "platform/styleicons.h"

#include <QApplication>
#include <QHash>
#include <QIconEngine>
#include <QPainter>
#include <QPointer>

namespace {

class StyleIconEngine : public QIconEngine
{
public:
    StyleIconEngine(QStyle::StandardPixmap which, bool sharp) : m_which(which), m_sharp(sharp) {}

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        const quint64 key = (quint64(quint32(size.width())) << 32) | (quint64(quint16(size.height())) << 16)
                            | (quint64(mode) << 8) | quint64(state);
        if (const auto it = m_made.constFind(key); it != m_made.cend())
            return *it;
        // The style's icon lives only while one size is made.
        const QIcon icon = QApplication::style()->standardIcon(m_which);
        QPixmap pm = icon.pixmap(size, 1.0, mode, state);
        if (m_sharp && !pm.isNull() && pm.width() < size.width() && pm.height() < size.height()) {
            const QPixmap largest = icon.pixmap(icon.actualSize(QSize(256, 256)), 1.0, mode, state);
            if (!largest.isNull())
                pm = largest.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        }
        m_made.insert(key, pm);
        return pm;
    }
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
        QPixmap pm = pixmap(rect.size() * dpr, mode, state);
        pm.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, pm);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        const QPixmap pm = pixmap(size, mode, state);
        return pm.isNull() ? QSize() : pm.size();
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        if (!m_sizesRead) {
            m_sizes = QApplication::style()->standardIcon(m_which).availableSizes(mode, state);
            m_sizesRead = true;
        }
        return m_sizes;
    }
    QString key() const override { return QStringLiteral("StyleIconEngine"); }
    QIconEngine *clone() const override { return new StyleIconEngine(m_which, m_sharp); }

private:
    QStyle::StandardPixmap m_which;
    bool m_sharp;
    QHash<quint64, QPixmap> m_made;
    QList<QSize> m_sizes;
    bool m_sizesRead = false;
};

// Lives as a child of the application, so the icons go before the application does.
class IconStore : public QObject
{
public:
    using QObject::QObject;
    QHash<QString, QIcon> Icons;
};

} // namespace

QIcon SharedIcon(const QString &key, const std::function<QIcon()> &make)
{
    if (!qApp)
        return make();
    static QPointer<IconStore> store;
    if (!store)
        store = new IconStore(qApp);
    auto it = store->Icons.constFind(key);
    if (it == store->Icons.cend())
        it = store->Icons.insert(key, make());
    return *it;
}

QIcon StyleIcon(QStyle::StandardPixmap which, bool sharp)
{
    return SharedIcon(QStringLiteral("style/%1/%2").arg(int(which)).arg(sharp ? 1 : 0),
                      [which, sharp] { return QIcon(new StyleIconEngine(which, sharp)); });
}
