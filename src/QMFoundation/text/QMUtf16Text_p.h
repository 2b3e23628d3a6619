#pragma once

// A UTF-16 view of text handed over as QAnyStringView: the caller's own characters when they
// are UTF-16 already (a QString, a QStringView, a u"" literal), so that functions called in loops
// copy nothing; otherwise (UTF-8 or Latin-1 text) a converted copy that the object keeps.

#include <QAnyStringView>
#include <QString>
#include <QStringView>

#include <type_traits>

class QMUtf16Text
{
public:
    explicit QMUtf16Text(QAnyStringView text)
    {
        text.visit([this](auto view) {
            if constexpr (std::is_same_v<std::decay_t<decltype(view)>, QStringView>) {
                m_view = view;
            } else {
                m_storage = view.toString();
                m_view = m_storage;
            }
        });
    }
    QMUtf16Text(const QMUtf16Text &) = delete;
    QMUtf16Text &operator=(const QMUtf16Text &) = delete;

    QStringView view() const { return m_view; }

private:
    QString m_storage;
    QStringView m_view;
};
