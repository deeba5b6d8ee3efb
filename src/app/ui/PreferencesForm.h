#pragma once

// The building blocks the Preferences sections share: one file per section builds its part of
// PreferencesView with these.

#include <QColor>
#include <QString>
#include <initializer_list>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

namespace hoplin::preferences {

inline const QString kDiagnostics = QStringLiteral("diagnostics");

QString setting(const char *key);
QLabel *caption(const QString &text);
// A wrapping label the form fills in later, named for the tests.
QLabel *namedLabel(const QString &objectName, int pixels, const QColor &color, const QString &text = {});
// The outcome of a section's last action; hidden until there is one.
QLabel *noteLabel(const QString &objectName);
QPushButton *button(const QString &text, const QString &objectName);
// A titled group: the title above a white card holding the rows.
QWidget *section(const QString &title, const QString &objectName, QVBoxLayout *&rows);
QHBoxLayout *row(std::initializer_list<QWidget *> widgets, bool stretch = true);

} // namespace hoplin::preferences
