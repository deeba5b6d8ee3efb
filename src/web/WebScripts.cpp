#include "WebScripts.h"

#include "WebPolicy.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace hoplin::web::scripts {

namespace {

// A JSON literal of `text`, safe to paste into a script.
QString jsonLiteral(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    QString literal = QString::fromUtf8(array.mid(1).chopped(1));
    literal.replace(QChar(0x2028), QStringLiteral("\\u2028"));
    literal.replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return literal;
}

QString number(double value)
{
    return QString::number(value, 'g', 17);
}

} // namespace

QString messageHandlers(const QString &channelLibrary, const QString &objectName)
{
    // The channel library is wrapped in the function so the page never sees QWebChannel; only the
    // frozen window.webkit object is public. Messages posted before the channel is up are queued.
    return QStringLiteral(R"JS((function () {
  'use strict';
  var names = ['hoplinSession', 'hoplinLog'];
  function install(post) {
    var handlers = {};
    names.forEach(function (name) {
      handlers[name] = Object.freeze({ postMessage: function (body) { post(name, body); } });
    });
    try {
      Object.defineProperty(window, 'webkit', { value: Object.freeze({ messageHandlers: Object.freeze(handlers) }),
                                                 writable: false, configurable: false });
    } catch (e) {}
  }
  if (window.top !== window) {
    // A sub-frame has no channel; it may only tell the main frame that it tried.
    install(function (name) { try { window.top.postMessage({ __hoplinFrameMessage: String(name) }, '*'); } catch (e) {} });
    return;
  }
  if (typeof qt === 'undefined' || !qt.webChannelTransport) return;
  %1
  var pending = [];
  var bridge = null;
  function send(name, body, main, origin) {
    if (bridge) bridge.post(name, body === undefined ? null : body, main, origin);
    else pending.push([name, body === undefined ? null : body, main, origin]);
  }
  new QWebChannel(qt.webChannelTransport, function (channel) {
    bridge = channel.objects['%2'];
    pending.forEach(function (m) { bridge.post(m[0], m[1], m[2], m[3]); });
    pending = [];
  });
  install(function (name, body) { send(name, body, true, ''); });
  window.addEventListener('message', function (event) {
    var data = event.data;
    if (event.source !== window && data && typeof data === 'object' && typeof data.__hoplinFrameMessage === 'string')
      send(data.__hoplinFrameMessage, null, false, String(event.origin));
  });
})();)JS")
        .arg(channelLibrary, objectName);
}

QString embedStyle()
{
    return QStringLiteral(R"JS((function () {
  if (document.getElementById('hoplin-app-embed')) return;
  var style = document.createElement('style');
  style.id = 'hoplin-app-embed';
  style.textContent = '.top-bar { display: none !important; }';
  (document.head || document.documentElement).appendChild(style);
})();)JS");
}

QString consoleBridge()
{
    return QStringLiteral(R"JS((function () {
  function post(text) {
    try { window.webkit.messageHandlers.hoplinLog.postMessage(text); } catch (e) {}
  }
  ['error', 'warn'].forEach(function (level) {
    var original = console[level];
    console[level] = function () {
      try { post('[console.' + level + '] ' + Array.prototype.map.call(arguments, String).join(' ')); } catch (e) {}
      return original.apply(console, arguments);
    };
  });
  window.addEventListener('error', function (event) {
    post('[window.onerror] ' + (event.message || '') + ' @ ' + (event.filename || '') + ':' + (event.lineno || ''));
  });
})();)JS");
}

QString sessionWatcher(const QString &expectedOrigin)
{
    return QStringLiteral(R"JS((function () {
  var KEY = 'hoplin_session';
  var expected = %1;
  function read() { try { return window.localStorage.getItem(KEY); } catch (e) { return null; } }
  var last = read();
  function notify() {
    if (window.location.origin !== expected) return;
    var current = read();
    if (current === last) return;
    var previous = last;
    last = current;
    try {
      window.webkit.messageHandlers.hoplinSession.postMessage(JSON.stringify({ v: current || '', p: previous || '' }));
    } catch (e) {}
  }
  var setItem = Storage.prototype.setItem;
  var removeItem = Storage.prototype.removeItem;
  Storage.prototype.setItem = function (key) {
    var result = setItem.apply(this, arguments);
    if (key === KEY) notify();
    return result;
  };
  Storage.prototype.removeItem = function (key) {
    var result = removeItem.apply(this, arguments);
    if (key === KEY) notify();
    return result;
  };
  window.addEventListener('load', notify);
})();)JS")
        .arg(jsonLiteral(expectedOrigin));
}

QString setSession(const QString &payload)
{
    return QStringLiteral(R"JS((function () {
  try {
    var session = JSON.parse(JSON.stringify(%1));
    session = JSON.parse(session);
    localStorage.setItem('hoplin_session', JSON.stringify(session));
    window.dispatchEvent(new CustomEvent('hoplin:session-updated', { detail: session }));
  } catch (e) {}
  return true;
})())JS")
        .arg(jsonLiteral(payload));
}

QString removeSession()
{
    return QStringLiteral(R"JS((function () {
  try {
    localStorage.removeItem('hoplin_session');
    window.dispatchEvent(new CustomEvent('hoplin:session-updated', { detail: null }));
  } catch (e) {}
  return true;
})())JS");
}

QString fillConnectKey(const QString &key)
{
    return QStringLiteral(R"JS((function () {
  var field = document.getElementById('apiKey');
  if (!field) return false;
  field.value = '%1';
  field.dispatchEvent(new Event('input', { bubbles: true }));
  var button = document.getElementById('connect');
  if (button) button.click();
  return true;
})())JS")
        .arg(escapeSingleQuoted(key));
}

QString clickChooser(bool folder)
{
    return QStringLiteral("(function(){var l=document.querySelector('label[for=\"%1\"]');if(l){l.click();return true;}"
                          "return false;})()")
        .arg(folder ? QStringLiteral("folder") : QStringLiteral("files"));
}

QString highlightDropArea()
{
    return QStringLiteral("(function(){var a=document.querySelector('.file-input-area');if(a)a.classList.add('drag-over');"
                          "var z=document.getElementById('dropZone');if(z)z.classList.add('drag-over');})()");
}

QString unhighlightDropArea()
{
    return QStringLiteral("(function(){var a=document.querySelector('.file-input-area');if(a)a.classList.remove('drag-over');"
                          "var z=document.getElementById('dropZone');if(z)z.classList.remove('drag-over');})()");
}

QString findDropTarget(const QPointF &point, const QString &fallbackZone)
{
    return QStringLiteral(R"JS((function () {
  function centre(element, id) {
    var box = element.getBoundingClientRect();
    return { x: box.left + box.width / 2, y: box.top + box.height / 2, id: id };
  }
  var label = document.querySelector('label[for="files"]');
  if (label) return centre(label, 'correction');
  var zone = document.getElementById('dropZone');
  var imm = document.getElementById('immDropZone');
  if (!zone && !imm) return null;
  var hit = document.elementFromPoint(%1, %2);
  var target = null;
  if (hit && imm && imm.contains(hit)) target = imm;
  else if (hit && zone && zone.contains(hit)) target = zone;
  if (!target) target = '%3' === 'zImm' ? imm : zone;
  if (!target) return null;
  return centre(target, target.id);
})())JS")
        .arg(number(point.x()), number(point.y()), fallbackZone);
}

QString dropAreaCentre()
{
    return QStringLiteral("(function(){var a=document.querySelector('.file-input-area');if(!a)return null;"
                          "var b=a.getBoundingClientRect();return {x:b.left+b.width/2,y:b.top+b.height/2};})()");
}

QString queueProbe()
{
    return QStringLiteral(R"JS((function () {
  var status = document.getElementById('status');
  var text = status ? status.textContent : 'no-status';
  text += ' | rows=' + document.querySelectorAll('#queue tr').length + ' | ';
  var area = document.querySelector('.file-input-area');
  if (area) {
    var b = area.getBoundingClientRect();
    text += 'drop=' + Math.round(b.left + b.width / 2) + ',' + Math.round(b.top + b.height / 2);
  } else {
    text += 'no-drop';
  }
  return text;
})())JS");
}

} // namespace hoplin::web::scripts
