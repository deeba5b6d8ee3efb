#pragma once

// Finding the named widgets of the app's windows in tests.

#include <QLabel>
#include <QWidget>

namespace hoplin::test {

// The child of `root` called `name`; a missing one ends the run, as a renamed widget should.
template <typename T> T *child(QWidget &root, const QString &name)
{
    T *found = root.findChild<T *>(name);
    if (!found)
        qFatal("no child %s", qPrintable(name));
    return found;
}

inline QString labelText(QWidget &root, const QString &name)
{
    return child<QLabel>(root, name)->text();
}

} // namespace hoplin::test
