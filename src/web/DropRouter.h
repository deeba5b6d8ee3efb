#pragma once

#include <QList>
#include <QPointF>
#include <QUrl>
#include <functional>

namespace hoplin {

// Decides which web tab receives a native file drop. The main window tells it which tab is
// showing; the web tabs register their drop handlers; the Convert and Analysis pages, which stay
// alive under a visible web tab, hand on drops that reach them while hidden. Main thread only.
class DropRouter {
public:
    // Dropped file URLs and the drag location in window coordinates ((0, 0) when unknown).
    using Handler = std::function<void(const QList<QUrl> &files, const QPointF &point)>;

    // What a native page does with a drop that reached its drop target.
    enum class PageDrop {
        HandleHere, // its own tab is showing
        Forwarded,  // handed to the web tabs (or to nobody): the drop counts as accepted
        Refused,    // another native page is showing
    };

    static DropRouter &shared();
    DropRouter() = default;
    DropRouter(const DropRouter &) = delete;
    DropRouter &operator=(const DropRouter &) = delete;

    // Registered by the web tabs once their drop bridge exists; an empty handler unregisters.
    void setCorrectionHandler(Handler handler) { m_correctionHandler = std::move(handler); }
    void setCinemaHandler(Handler handler) { m_cinemaHandler = std::move(handler); }
    bool hasCorrectionHandler() const { return bool(m_correctionHandler); }
    bool hasCinemaHandler() const { return bool(m_cinemaHandler); }

    // Set by the main window on every tab switch (and by the Correction tab for correctionActive).
    void setCorrectionActive(bool active) { m_correctionActive = active; }
    void setWebTabActive(bool active) { m_webTabActive = active; }
    bool correctionActive() const { return m_correctionActive; }
    bool webTabActive() const { return m_webTabActive; }

    // Hands a drop to the Correction tab while it is selected and can take it, else to Cinema.
    // Returns whether some handler took it.
    bool route(const QList<QUrl> &files, const QPointF &point = {}) const;

    // The rule for a drop that reaches a native page's drop target: its own tab handles it; under
    // a visible web tab it goes on to route() with no location; otherwise it is refused.
    PageDrop dropOnPage(bool ownTabSelected, const QList<QUrl> &files) const;

private:
    Handler m_correctionHandler;
    Handler m_cinemaHandler;
    bool m_correctionActive = true;
    bool m_webTabActive = true;
};

} // namespace hoplin
