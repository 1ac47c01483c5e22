/* Merovane control panel: menus, proxy list, upload, chain and settings
 * editor, status view, and the handling of command replies and of the calls
 * pushed through the flow frame. Every value that comes from the server is
 * put into the page as text; replies are read by a literal reader, never run
 * as script, and HTML pages are rebuilt through an allow-list. */
"use strict";

/* ---- constants --------------------------------------------------------- */

var NOT_WORKING = 0x01, TRANSPARENT = 0x02, ANONYMOUS = 0x04, UNGRADED = 0x80;
var PROTOCOLS = [[0x08, "SOCKS4"], [0x10, "SOCKS5"], [0x20, "HTTP"], [0x40, "HTTPS"]];
var PROTOCOL_BITS = 0x78;

/* Columns of a "load_proxy" row, as the list query returns them. */
var COL = {ip: 0, port: 1, type: 2, blocked: 3, rank: 4, t_ok: 5, n_err: 6, timeout: 7, host: 8,
           user: 9, has_password: 10, auth_refused: 11};
/* Columns of a chain row of the settings object. */
var LINK = {position: 0, selection: 1, flags: 2, ip: 3, port: 4};

var SELECTIONS = [[1, "Random"], [2, "Fastest"], [3, "Most recently working"], [4, "Best ranked"],
                  [5, "Fixed proxy"]];
var MAX_LINKS = 29;
var CHECK_STEPS = {8: "SOCKS4", 16: "SOCKS5", 17: "SOCKS5", 32: "HTTP", 64: "HTTPS"};
var STATUS_REFRESH_MS = 3000;
var CHECK_GIVE_UP_MS = 300000;  // four steps of at most 60 s each, and some slack
var PAGE_SIZES = [50, 100, 250, 500];

/* ---- small DOM helpers ------------------------------------------------- */

/* el("td", {className: "x", title: "t"}, [child | text ...]) */
function el(tag, props, children) {
  var node = document.createElement(tag);
  var k;
  if (props) {
    for (k in props) {
      if (!Object.prototype.hasOwnProperty.call(props, k)) continue;
      if (k === "text") node.textContent = props[k];
      else if (k.indexOf("on") === 0) node.addEventListener(k.substring(2), props[k]);
      else if (k === "className" || k === "title" || k === "value" || k === "checked" ||
               k === "type" || k === "disabled" || k === "selected" || k === "placeholder" ||
               k === "rows" || k === "src" || k === "alt" || k === "htmlFor" || k === "id")
        node[k] = props[k];
      else node.setAttribute(k, props[k]);
    }
  }
  if (children) {
    for (var i = 0; i < children.length; i++) {
      var c = children[i];
      if (c === null || c === undefined || c === false) continue;
      node.appendChild(typeof c === "object" ? c : document.createTextNode(String(c)));
    }
  }
  return node;
}

function clear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
  return node;
}

function byId(id) { return document.getElementById(id); }

/* ---- reading replies: script literals without running them ------------- */

/* Reads one literal of the forms the server writes (numbers, quoted texts,
 * null, arrays with empty places, objects with bare keys). Returns
 * {v: value, p: next position} or throws. */
function readLiteral(s, p) {
  p = skipBlanks(s, p);
  var c = s.charAt(p);
  if (c === "[") return readArray(s, p + 1);
  if (c === "{") return readObject(s, p + 1);
  if (c === "\"" || c === "'") return readString(s, p);
  if (c === "-" || c === "+" || c === "." || (c >= "0" && c <= "9")) {
    var m = /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?/.exec(s.substring(p, p + 64));
    if (!m) throw new Error("bad number at " + p);
    return {v: Number(m[0]), p: p + m[0].length};
  }
  var w = /^[A-Za-z_$][\w$]*/.exec(s.substring(p, p + 64));
  if (w) {
    var words = {"null": null, "true": true, "false": false, "undefined": undefined};
    if (Object.prototype.hasOwnProperty.call(words, w[0])) return {v: words[w[0]], p: p + w[0].length};
  }
  throw new Error("unexpected " + JSON.stringify(c) + " at " + p);
}

function skipBlanks(s, p) {
  while (p < s.length) {
    var c = s.charCodeAt(p);
    if (c !== 32 && c !== 9 && c !== 10 && c !== 13) break;
    p++;
  }
  return p;
}

function readArray(s, p) {
  var out = [];
  p = skipBlanks(s, p);
  if (s.charAt(p) === "]") return {v: out, p: p + 1};
  for (;;) {
    p = skipBlanks(s, p);
    var c = s.charAt(p);
    if (c === ",") {  // an empty place (a NULL column)
      out.push(null);
      p++;
      continue;
    }
    if (c === "]") return {v: out, p: p + 1};  // after a trailing comma
    var r = readLiteral(s, p);
    out.push(r.v);
    p = skipBlanks(s, r.p);
    c = s.charAt(p);
    if (c === ",") p++;
    else if (c === "]") return {v: out, p: p + 1};
    else throw new Error("bad array at " + p);
  }
}

function readObject(s, p) {
  var out = {};
  for (;;) {
    p = skipBlanks(s, p);
    var c = s.charAt(p);
    if (c === "}") return {v: out, p: p + 1};
    var key;
    if (c === "\"" || c === "'") {
      var k = readString(s, p);
      key = k.v;
      p = k.p;
    } else {
      var m = /^[\w$]+/.exec(s.substring(p, p + 256));
      if (!m) throw new Error("bad key at " + p);
      key = m[0];
      p += key.length;
    }
    p = skipBlanks(s, p);
    if (s.charAt(p) !== ":") throw new Error("missing : at " + p);
    var r = readLiteral(s, p + 1);
    if (key !== "__proto__") out[key] = r.v;
    p = skipBlanks(s, r.p);
    c = s.charAt(p);
    if (c === ",") p++;
    else if (c === "}") return {v: out, p: p + 1};
    else throw new Error("bad object at " + p);
  }
}

function readString(s, p) {
  var quote = s.charAt(p), out = "", i = p + 1, start = i;
  while (i < s.length) {
    var c = s.charAt(i);
    if (c === quote) return {v: out + s.substring(start, i), p: i + 1};
    if (c !== "\\") {
      i++;
      continue;
    }
    out += s.substring(start, i);
    var e = s.charAt(i + 1);
    i += 2;
    if (e === "n") out += "\n";
    else if (e === "t") out += "\t";
    else if (e === "r") out += "\r";
    else if (e === "b") out += "\b";
    else if (e === "f") out += "\f";
    else if (e === "v") out += "\v";
    else if (e === "0") out += "\0";
    else if (e === "x" && /^[0-9a-fA-F]{2}$/.test(s.substr(i, 2))) {
      out += String.fromCharCode(parseInt(s.substr(i, 2), 16));
      i += 2;
    } else if (e === "u" && /^[0-9a-fA-F]{4}$/.test(s.substr(i, 4))) {
      out += String.fromCharCode(parseInt(s.substr(i, 4), 16));
      i += 4;
    } else if (e === "\r" || e === "\n") {
      /* line continuation */
    } else out += e;
    start = i;
  }
  throw new Error("unterminated text");
}

/* Reads a reply made of calls ajax_callback("name", value); and returns the
 * list of [name, value]. */
function readReply(text) {
  var calls = [], p = 0;
  for (;;) {
    p = skipBlanks(text, p);
    while (text.charAt(p) === ";") p = skipBlanks(text, p + 1);
    if (p >= text.length) return calls;
    var head = "ajax_callback";
    if (text.substr(p, head.length) !== head) throw new Error("not a reply");
    p = skipBlanks(text, p + head.length);
    if (text.charAt(p) !== "(") throw new Error("not a call");
    var name = readString(text, skipBlanks(text, p + 1));
    p = skipBlanks(text, name.p);
    if (text.charAt(p) !== ",") throw new Error("missing value");
    var value = readLiteral(text, p + 1);
    p = skipBlanks(text, value.p);
    if (text.charAt(p) !== ")") throw new Error("missing )");
    calls.push([name.v, value.v]);
    p++;
  }
}

/* ---- commands ---------------------------------------------------------- */

/* Form encoding the server's decoder restores: "+" for a space, "%XX" for
 * every other byte outside the plain set (texts go out as UTF-8). */
function encodeValue(v) {
  return encodeURIComponent(String(v)).replace(/%20/g, "+");
}

var pending = 0;

function setBusy(delta) {
  pending += delta;
  var spin = byId("busy");
  if (spin) spin.style.visibility = pending > 0 ? "visible" : "hidden";
}

/* Posts a command; every call of the reply goes to dispatch(). */
function command(type, params, done) {
  var body = "type=" + encodeValue(type);
  if (params) {
    for (var k in params)
      if (Object.prototype.hasOwnProperty.call(params, k)) body += "&" + k + "=" + encodeValue(params[k]);
  }
  setBusy(1);
  var xhr = new XMLHttpRequest();
  xhr.open("POST", "ajax", true);
  xhr.setRequestHeader("Content-Type", "application/x-www-form-urlencoded");
  xhr.onreadystatechange = function () {
    if (xhr.readyState !== 4) return;
    setBusy(-1);
    var calls = [];
    if (xhr.status === 200) {
      try {
        calls = readReply(xhr.responseText);
      } catch (e) {
        notice("The server sent a reply the panel cannot read.", "error");
      }
    } else {
      notice("The server did not answer (" + (xhr.status || "no connection") + ").", "error");
    }
    for (var i = 0; i < calls.length; i++) dispatch(calls[i][0], calls[i][1], false);
    if (done) done(xhr.status === 200);
  };
  xhr.send(body);
}

/* Loads an HTML page of the panel and hands its rebuilt, inert body to done. */
function loadPage(name, done) {
  setBusy(1);
  var xhr = new XMLHttpRequest();
  xhr.open("GET", name + "?t=" + Date.now(), true);
  xhr.onreadystatechange = function () {
    if (xhr.readyState !== 4) return;
    setBusy(-1);
    done(xhr.status === 200 ? safeFragment(xhr.responseText) : null);
  };
  xhr.send(null);
}

/* ---- HTML from the server, rebuilt through an allow-list --------------- */

var SAFE_TAGS = {
  TABLE: 1, THEAD: 1, TBODY: 1, TFOOT: 1, TR: 1, TH: 1, TD: 1, CAPTION: 1, SPAN: 1, B: 1, I: 1, EM: 1,
  STRONG: 1, P: 1, BR: 1, H1: 1, H2: 1, H3: 1, H4: 1, DIV: 1, SMALL: 1, CODE: 1, PRE: 1, UL: 1, OL: 1,
  LI: 1, HR: 1, SUP: 1, SUB: 1
};
var DROPPED_TAGS = {SCRIPT: 1, STYLE: 1, IFRAME: 1, OBJECT: 1, EMBED: 1, TEMPLATE: 1, NOSCRIPT: 1};
var SAFE_ATTRS = {"class": 1, title: 1, colspan: 1, rowspan: 1, align: 1};

function safeFragment(html) {
  var doc = new DOMParser().parseFromString(html, "text/html");  // inert: nothing runs or loads
  var out = document.createDocumentFragment();
  copySafe(doc.body, out);
  return out;
}

function copySafe(from, into) {
  for (var n = from.firstChild; n; n = n.nextSibling) {
    if (n.nodeType === 3) {
      into.appendChild(document.createTextNode(n.nodeValue));
    } else if (n.nodeType === 1) {
      var tag = n.tagName.toUpperCase();
      if (DROPPED_TAGS[tag]) continue;
      if (!SAFE_TAGS[tag]) {  // unknown element: keep its content only
        copySafe(n, into);
        continue;
      }
      var copy = document.createElement(tag);
      for (var i = 0; i < n.attributes.length; i++) {
        var a = n.attributes[i], name = a.name.toLowerCase();
        if (!SAFE_ATTRS[name]) continue;
        var value = a.value;
        if (name === "class") value = value.replace(/[^\w -]/g, "");
        if ((name === "colspan" || name === "rowspan") && !/^\d{1,3}$/.test(value)) continue;
        copy.setAttribute(name, value);
      }
      copySafe(n, copy);
      into.appendChild(copy);
    }
  }
}

/* ---- formatting -------------------------------------------------------- */

function ipText(n) {
  n = Number(n) >>> 0;
  return (n & 255) + "." + ((n >>> 8) & 255) + "." + ((n >>> 16) & 255) + "." + ((n >>> 24) & 255);
}

/* "a.b.c.d" → ip number (first octet the least significant byte), or -1. */
function ipNumber(text) {
  var m = /^\s*(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})\s*$/.exec(text);
  if (!m) return -1;
  var n = 0;
  for (var i = 4; i >= 1; i--) {
    var b = Number(m[i]);
    if (b > 255) return -1;
    n = n * 256 + b;
  }
  return n;
}

/* Minute clock (minutes since 2008-01-01 00:00 local time) → Date. */
function minuteDate(minutes) {
  var d = new Date(2008, 0, 1, 0, 0, 0, 0);
  d.setMinutes(d.getMinutes() + Number(minutes));
  return d;
}

function minuteNow() {
  return Math.floor((Date.now() - new Date(2008, 0, 1, 0, 0, 0, 0).getTime()) / 60000) + clockSkew;
}

var clockSkew = 0;  // server minute clock − browser minute clock

function ago(minutes) {
  if (!minutes) return "never";
  var d = minuteNow() - Number(minutes);
  if (d < 1) return "just now";
  if (d < 60) return d + " min ago";
  if (d < 48 * 60) return Math.floor(d / 60) + " h ago";
  return Math.floor(d / 1440) + " days ago";
}

function pad2(n) { return (n < 10 ? "0" : "") + n; }

function dateText(d) {
  return d.getFullYear() + "-" + pad2(d.getMonth() + 1) + "-" + pad2(d.getDate()) + " " +
         pad2(d.getHours()) + ":" + pad2(d.getMinutes());
}

function num(v) { return v === null || v === undefined || v === "" ? 0 : Number(v) || 0; }

/* Readable badges for a type-flag value. */
function typeBadges(type) {
  type = num(type);
  var out = el("span", {className: "badges"});
  if (type === 0) {
    out.appendChild(el("span", {className: "badge unchecked", title: "Never found working", text: "unchecked"}));
    return out;
  }
  if (type & NOT_WORKING) {
    out.appendChild(el("span", {className: "badge dead", title: "The last check failed", text: "not working"}));
    return out;
  }
  for (var i = 0; i < PROTOCOLS.length; i++)
    if (type & PROTOCOLS[i][0])
      out.appendChild(el("span", {className: "badge proto", text: PROTOCOLS[i][1]}));
  if (type & UNGRADED)
    out.appendChild(el("span", {className: "badge ungraded",
                                title: "Found working by a page fetched through it; a checker service grades " +
                                       "what it adds to requests", text: "anonymity unknown"}));
  else if (type & TRANSPARENT)
    out.appendChild(el("span", {className: "badge transparent", title: "Passes your address on", text: "transparent"}));
  else if (type & ANONYMOUS)
    out.appendChild(el("span", {className: "badge anonymous", title: "Hides your address, shows that a proxy is used", text: "anonymous"}));
  else if (type & PROTOCOL_BITS)
    out.appendChild(el("span", {className: "badge elite", title: "Hides your address and itself", text: "elite"}));
  return out;
}

/* ---- notices ----------------------------------------------------------- */

var noticeTimer = 0;

function notice(text, kind) {
  var box = byId("notice");
  if (!box) return;
  box.textContent = text;
  box.className = "notice " + (kind || "info");
  box.style.display = "block";
  clearTimeout(noticeTimer);
  noticeTimer = setTimeout(function () { box.style.display = "none"; }, kind === "error" ? 10000 : 6000);
}

/* ---- menu and views ---------------------------------------------------- */

var VIEWS = ["proxy", "settings", "status", "about"];
var current = "";

function showView(name) {
  if (VIEWS.indexOf(name) < 0) name = "proxy";
  current = name;
  for (var i = 0; i < VIEWS.length; i++) {
    var tab = byId(VIEWS[i]);
    if (tab) tab.className = VIEWS[i] === name ? "tab active" : "tab";
    var view = byId("view_" + VIEWS[i]);
    if (view) view.style.display = VIEWS[i] === name ? "block" : "none";
  }
  if (window.location.hash !== "#" + name) {
    try { history.replaceState(null, "", "#" + name); } catch (e) { /* file views */ }
  }
  stopStatus();
  var box = byId("notice");
  if (box && box.className.indexOf("error") < 0) box.style.display = "none";
  if (name === "proxy" && !proxyState.loaded) loadProxies();
  else if (name === "settings" && !settingsState.dirty) command("settings");
  else if (name === "status") startStatus();
  else if (name === "about") loadAbout();
}

/* ---- Proxy Servers ----------------------------------------------------- */

var proxyState = {
  rows: [],          // rows of the last "load_proxy" reply
  shown: [],         // rows after the text search
  byKey: {},         // "ip:port" → row
  checking: {},      // "ip:port" → {step, verdict}
  flash: {},         // "ip:port" → class to show once
  page: 0,
  pageSize: 100,
  order: "",
  orderCol: "",
  orderDir: "",
  loaded: false,
  blockedView: 0
};

var LIST_COLUMNS = [
  {key: "state", label: "", sort: "type", title: "Working"},
  {key: "address", label: "Address", sort: "address", local: true},
  {key: "host", label: "Host name", sort: "host"},
  {key: "type", label: "Type", sort: "type"},
  {key: "t_ok", label: "Last success", sort: "t_ok", desc: true},
  {key: "timeout", label: "Response", sort: "timeout", title: "Response time of the last check, ms"},
  {key: "rank", label: "Rank", sort: "rank", desc: true},
  {key: "n_err", label: "Failures", sort: "n_err", title: "Failed checks in a row"},
  {key: "actions", label: ""}
];

function buildProxyView() {
  var protoBoxes = [];
  for (var i = 0; i < PROTOCOLS.length; i++) {
    protoBoxes.push(el("label", {className: "check"}, [
      el("input", {type: "checkbox", id: "f_proto_" + PROTOCOLS[i][1], value: String(PROTOCOLS[i][0]),
                   onchange: filterChanged}),
      " " + PROTOCOLS[i][1]]));
  }
  var sizeSelect = el("select", {id: "f_pagesize", onchange: function () {
    proxyState.pageSize = Number(this.value);
    proxyState.page = 0;
    renderProxyRows();
  }});
  for (i = 0; i < PAGE_SIZES.length; i++)
    sizeSelect.appendChild(el("option", {value: String(PAGE_SIZES[i]), text: PAGE_SIZES[i] + " per page",
                                         selected: PAGE_SIZES[i] === proxyState.pageSize}));

  var head = el("tr");
  for (i = 0; i < LIST_COLUMNS.length; i++) {
    var c = LIST_COLUMNS[i];
    var th = el("th", {className: c.sort ? "sortable col_" + c.key : "col_" + c.key, title: c.title || ""},
                [c.label]);
    if (c.sort && c.key !== "state") {
      th.setAttribute("data-sort", c.sort);
      th.addEventListener("click", sortBy.bind(null, c));
    }
    head.appendChild(th);
  }

  return el("div", {id: "view_proxy", className: "view"}, [
    el("div", {className: "toolbar"}, [
      el("span", {className: "group"}, [el("span", {className: "caption", text: "Protocols"})].concat(protoBoxes)),
      el("span", {className: "group"}, [
        el("label", {htmlFor: "f_state", className: "caption", text: "State"}),
        selectOf("f_state", [["all", "Any"], ["live", "Working"], ["dead", "Not working"]], "all", filterChanged)]),
      el("span", {className: "group"}, [
        el("label", {htmlFor: "f_anon", className: "caption", text: "Anonymity"}),
        selectOf("f_anon", [["0", "Any"], ["1", "Transparent"], ["2", "Anonymous"], ["3", "Neither (elite)"]], "0",
                 filterChanged)]),
      el("span", {className: "group"}, [
        el("label", {htmlFor: "f_blocked", className: "caption", text: "List"}),
        selectOf("f_blocked", [["0", "Active proxies"], ["1", "Blocked proxies"]], "0", filterChanged)]),
      el("span", {className: "group"}, [
        el("input", {type: "search", id: "f_search", placeholder: "Find address or host", oninput: function () {
          proxyState.page = 0;
          renderProxyRows();
        }})]),
      el("button", {id: "f_refresh", className: "icon", title: "Reload the list", onclick: loadProxies},
         [el("img", {src: "refresh.png", alt: ""}), " Refresh"])
    ]),
    el("div", {className: "listbar"}, [
      el("span", {id: "list_count", className: "count"}),
      el("span", {className: "pager"}, [
        el("button", {id: "page_prev", text: "\u2039 Previous", onclick: function () { turnPage(-1); }}),
        el("span", {id: "page_info"}),
        el("button", {id: "page_next", text: "Next \u203a", onclick: function () { turnPage(1); }}),
        sizeSelect])
    ]),
    el("table", {id: "proxy_list", className: "list"}, [el("thead", null, [head]), el("tbody", {id: "proxy_rows"})]),
    el("div", {id: "recent_checks", className: "recent_checks"}),
    el("div", {className: "upload"}, [
      el("h3", {text: "Add proxies"}),
      el("p", {className: "hint", text: "Paste a proxy list in any form: every address followed by a port " +
                                          "(1.2.3.4:8080, \"1.2.3.4 8080\", table columns) is taken."}),
      el("textarea", {id: "upload_list", rows: 6, placeholder: "1.2.3.4:8080\n5.6.7.8 3128"}),
      el("div", null, [el("button", {id: "upload_button", className: "primary", text: "Add to the list",
                                     onclick: uploadProxies}),
                       el("span", {id: "upload_result", className: "result"})])
    ])
  ]);
}

function selectOf(id, options, selected, onchange) {
  var s = el("select", {id: id});
  for (var i = 0; i < options.length; i++)
    s.appendChild(el("option", {value: options[i][0], text: options[i][1], selected: options[i][0] === selected}));
  if (onchange) s.addEventListener("change", onchange);
  return s;
}

function proxyFilters() {
  var filter = 0;
  for (var i = 0; i < PROTOCOLS.length; i++)
    if (byId("f_proto_" + PROTOCOLS[i][1]).checked) filter |= PROTOCOLS[i][0];
  var state = byId("f_state").value;
  return {
    filter: filter,
    live: state === "live" ? 1 : 0,
    dead: state === "dead" ? 1 : 0,
    blocked: Number(byId("f_blocked").value),
    anon: Number(byId("f_anon").value),
    order: proxyState.order
  };
}

function filterChanged() {
  proxyState.page = 0;
  loadProxies();
}

function loadProxies() {
  var f = proxyFilters();
  proxyState.requestedBlocked = f.blocked;
  command("load_proxy", f);
}

function sortBy(column) {
  if (proxyState.orderCol === column.sort) proxyState.orderDir = proxyState.orderDir === "ASC" ? "DESC" : "ASC";
  else {
    proxyState.orderCol = column.sort;
    proxyState.orderDir = column.desc ? "DESC" : "ASC";
  }
  if (column.local) {
    // The stored number has the first octet in its low byte, so the server's
    // order is not the dotted order people expect: sort here instead.
    proxyState.order = "";
    sortLocally();
    proxyState.page = 0;
    renderProxyRows();
    return;
  }
  proxyState.order = proxyState.orderCol + " " + proxyState.orderDir;
  loadProxies();
}

function dottedKey(ip) {
  ip = Number(ip) >>> 0;
  return (ip & 255) * 16777216 + ((ip >>> 8) & 255) * 65536 + ((ip >>> 16) & 255) * 256 + (ip >>> 24);
}

function sortLocally() {
  if (proxyState.orderCol !== "address") return;
  var sign = proxyState.orderDir === "DESC" ? -1 : 1;
  proxyState.rows.sort(function (a, b) {
    var d = dottedKey(a[COL.ip]) - dottedKey(b[COL.ip]);
    return sign * (d !== 0 ? d : num(a[COL.port]) - num(b[COL.port]));
  });
}

function keyOf(ip, port) { return (Number(ip) >>> 0) + ":" + num(port); }

function onProxyList(rows) {
  proxyState.loaded = true;
  proxyState.blockedView = proxyState.requestedBlocked || 0;
  proxyState.rows = Array.isArray(rows) ? rows.filter(Array.isArray) : [];
  proxyState.byKey = {};
  for (var i = 0; i < proxyState.rows.length; i++) {
    var r = proxyState.rows[i];
    proxyState.byKey[keyOf(r[COL.ip], r[COL.port])] = r;
  }
  sortLocally();
  var maxPage = Math.max(0, Math.ceil(proxyState.rows.length / proxyState.pageSize) - 1);
  if (proxyState.page > maxPage) proxyState.page = maxPage;
  renderProxyRows();
}

function turnPage(delta) {
  proxyState.page += delta;
  renderProxyRows();
}

function renderProxyRows() {
  var tbody = byId("proxy_rows");
  if (!tbody) return;
  var needle = (byId("f_search").value || "").toLowerCase().trim();
  var rows = proxyState.rows;
  if (needle) {
    rows = rows.filter(function (r) {
      var text = ipText(r[COL.ip]) + ":" + num(r[COL.port]) + " " + (r[COL.host] === null ? "" : String(r[COL.host]));
      return text.toLowerCase().indexOf(needle) >= 0;
    });
  }
  proxyState.shown = rows;
  var size = proxyState.pageSize, pages = Math.max(1, Math.ceil(rows.length / size));
  if (proxyState.page >= pages) proxyState.page = pages - 1;
  if (proxyState.page < 0) proxyState.page = 0;
  var from = proxyState.page * size, to = Math.min(rows.length, from + size);

  var body = document.createDocumentFragment();
  for (var i = from; i < to; i++) body.appendChild(proxyRow(rows[i]));
  clear(tbody);
  if (rows.length === 0) {
    tbody.appendChild(el("tr", {className: "empty"}, [
      el("td", {colspan: String(LIST_COLUMNS.length),
                text: proxyState.rows.length ? "No proxy matches the search." : "No proxies in this list."})]));
  } else tbody.appendChild(body);

  var total = proxyState.rows.length;
  byId("list_count").textContent = (rows.length === total ? total : rows.length + " of " + total) +
                                   (total === 1 ? " proxy" : " proxies") +
                                   (proxyState.blockedView ? " (blocked)" : "");
  byId("page_info").textContent = "Page " + (proxyState.page + 1) + " of " + pages;
  byId("page_prev").disabled = proxyState.page <= 0;
  byId("page_next").disabled = proxyState.page >= pages - 1;

  var ths = byId("proxy_list").getElementsByTagName("th");
  for (i = 0; i < ths.length; i++) {
    var sort = ths[i].getAttribute("data-sort");
    ths[i].classList.remove("asc", "desc");
    if (sort && sort === proxyState.orderCol) ths[i].classList.add(proxyState.orderDir === "ASC" ? "asc" : "desc");
  }
}

function proxyRow(r) {
  var ip = Number(r[COL.ip]) >>> 0, port = num(r[COL.port]), type = num(r[COL.type]);
  var key = keyOf(ip, port);
  var working = type !== 0 && !(type & NOT_WORKING);
  var host = r[COL.host] === null || r[COL.host] === undefined ? "" : String(r[COL.host]);
  var tok = num(r[COL.t_ok]);
  var check = proxyState.checking[key];
  if (check && Date.now() - check.since > CHECK_GIVE_UP_MS) {
    delete proxyState.checking[key];  // no result came: stop showing progress
    check = undefined;
  }

  var user = r[COL.user] === null || r[COL.user] === undefined ? "" : String(r[COL.user]);
  var refused = num(r[COL.auth_refused]) !== 0;
  var state = el("td", {className: "state"});
  if (check) state.appendChild(el("img", {src: "loading.gif", alt: "checking", title: "Checking"}));
  else if (refused) state.appendChild(el("span", {className: "auth_refused", text: "authentication refused",
                                                  title: "The proxy refused the user name and password"}));
  else if (type !== 0) state.appendChild(el("img", {src: working ? "yes.png" : "no.png",
                                                   alt: working ? "working" : "not working",
                                                   title: working ? "Working" : "Not working"}));

  var typeCell = el("td", {className: "type"}, [typeBadges(type)]);
  if (check) {
    typeCell.appendChild(el("span", {className: "progress",
                                     text: check.step ? "checking " + (CHECK_STEPS[check.step] || "") + "\u2026"
                                                      : "check requested\u2026"}));
  }
  var blocked = proxyState.blockedView;
  var row = el("tr", {className: "proxy" + (check ? " checking" : "") + (proxyState.flash[key] ? " " + proxyState.flash[key] : "")}, [
    state,
    el("td", {className: "address"}, [ipText(ip) + ":" + port,
      user ? el("div", {className: "sign_in", title: "Signs in as " + user,
                        text: "user " + user + (num(r[COL.has_password]) ? " \u2022 has a password" : "")})
           : null]),
    el("td", {className: "host", title: host}, [host]),
    typeCell,
    el("td", {className: "t_ok", title: tok ? dateText(minuteDate(tok)) : ""}, [ago(tok)]),
    el("td", {className: "num timeout"}, [num(r[COL.timeout]) ? num(r[COL.timeout]) + " ms" : "\u2013"]),
    el("td", {className: "num rank"}, [String(num(r[COL.rank]))]),
    el("td", {className: "num n_err"}, [String(num(r[COL.n_err]))]),
    el("td", {className: "actions"}, [
      el("button", {className: "recheck", text: "Re-check", title: "Check this proxy now", disabled: !!check,
                    onclick: function () { recheckProxy(ip, port); }}),
      el("button", {className: blocked ? "unblock" : "block", text: blocked ? "Unblock" : "Block",
                    title: blocked ? "Use this proxy in chains again" : "Never use this proxy in a chain",
                    onclick: function () { blockProxy(ip, port, !blocked); }})
    ])
  ]);
  row.setAttribute("data-key", key);
  return row;
}

function blockProxy(ip, port, block) {
  // The command's "block" value 0 blocks the proxy, any other value unblocks it.
  command("block_proxy", {block: block ? 0 : 1, ip: ip, port: port});
}

function onBlock(v) {
  if (!v || typeof v !== "object") return;
  var key = keyOf(v.ip, v.port);
  var blocked = num(v.block) === 0;
  notice("Proxy " + ipText(v.ip) + ":" + num(v.port) + (blocked ? " blocked." : " unblocked."), "ok");
  var row = proxyState.byKey[key];
  if (row && proxyState.blockedView !== (blocked ? 1 : 0)) {
    proxyState.rows.splice(proxyState.rows.indexOf(row), 1);
    delete proxyState.byKey[key];
    renderProxyRows();
  }
}

function recheckProxy(ip, port) {
  var key = keyOf(ip, port);
  proxyState.checking[key] = {step: 0, verdict: 0, since: Date.now()};
  renderProxyRows();
  command("recheck_proxy", {ip: ip, port: port});
}

/* A pushed check line: [finished, ip, port, step, verdict, name, time]. */
function onCheck(a) {
  if (!Array.isArray(a) || a.length < 5) return;
  var finished = num(a[0]), ip = Number(a[1]) >>> 0, port = num(a[2]), step = num(a[3]);
  var verdict = num(a[4]), name = a[5], time = num(a[6]);
  var key = keyOf(ip, port);
  var row = proxyState.byKey[key];
  recordRecentCheck(finished, ip, port, step, verdict, name);
  if (!finished) {
    proxyState.checking[key] = {step: step, verdict: verdict, since: Date.now()};
  } else {
    delete proxyState.checking[key];
    if (row) {
      row[COL.type] = verdict;
      row[COL.timeout] = time;
      if (!(verdict & NOT_WORKING) && verdict !== 0) {
        row[COL.t_ok] = minuteNow();
        row[COL.n_err] = 0;
      } else {
        row[COL.n_err] = num(row[COL.n_err]) + 1;
      }
      if (typeof name === "string" && name !== "") row[COL.host] = name;
      proxyState.flash[key] = verdict & NOT_WORKING ? "flash_bad" : "flash_good";
      setTimeout(function () {
        delete proxyState.flash[key];
        if (current === "proxy") renderProxyRows();
      }, 4000);
    }
  }
  if (row && current === "proxy") renderProxyRows();
}

var recentChecks = [];

function recordRecentCheck(finished, ip, port, step, verdict, name) {
  if (!finished) return;
  recentChecks.unshift({ip: ip, port: port, verdict: verdict, name: name, at: new Date()});
  if (recentChecks.length > 8) recentChecks.length = 8;
  var box = byId("recent_checks");
  if (!box) return;
  clear(box);
  box.appendChild(el("span", {className: "caption", text: "Recent checks"}));
  for (var i = 0; i < recentChecks.length; i++) {
    var c = recentChecks[i], ok = !(c.verdict & NOT_WORKING) && c.verdict !== 0;
    box.appendChild(el("span", {className: "recent " + (ok ? "ok" : "bad"),
                                title: pad2(c.at.getHours()) + ":" + pad2(c.at.getMinutes()) + ":" +
                                       pad2(c.at.getSeconds()) + (typeof c.name === "string" ? " " + c.name : "")},
                       [el("img", {src: ok ? "yes.png" : "no.png", alt: ""}), ipText(c.ip) + ":" + c.port]));
  }
}

function uploadProxies() {
  var text = byId("upload_list").value;
  if (!text.trim()) {
    byId("upload_result").textContent = "Paste a list first.";
    return;
  }
  byId("upload_result").textContent = "Adding\u2026";
  command("upload_proxy", {list: text}, function (ok) {
    if (!ok) byId("upload_result").textContent = "The list could not be sent.";
  });
}

function onUpload(v) {
  var out = byId("upload_result");
  if (!v || typeof v !== "object") {
    if (out) out.textContent = "Nothing was added.";
    return;
  }
  if (v.error) {
    if (out) out.textContent = "Not imported: " + v.error + ".";
    return;
  }
  var count = num(v.count), added = num(v.added), signed = num(v.credentials), skipped = num(v.skipped);
  if (out) {
    var why = [];
    if (num(v.bad_scheme)) why.push(num(v.bad_scheme) + " with an unknown scheme");
    if (num(v.bad_address)) why.push(num(v.bad_address) + " without an IPv4 address and port");
    if (num(v.bad_credentials)) why.push(num(v.bad_credentials) + " with an unreadable user or password");
    out.textContent = "Found " + count + (count === 1 ? " proxy" : " proxies") + ", " + added + " new" +
                      (count > added ? ", " + (count - added) + " already known" : "") +
                      (signed ? ", " + signed + " with user and password" : "") +
                      (skipped ? "; skipped " + skipped + " line" + (skipped === 1 ? "" : "s") + ": " +
                                 why.join(", ") : "") + ".";
  }
  if (added > 0) byId("upload_list").value = "";
  loadProxies();
}

/* ---- Settings ---------------------------------------------------------- */

var settingsState = {links: [], values: {}, loaded: false, dirty: false};

var SETTING_FIELDS = [
  {name: "url_checker", kind: "lines", label: "Checker service",
   hint: "Address of the service that proxies are checked against (tools/merovane-judge, or a service " +
         "answering in the NAME = value or JSON header-echo format). Several addresses, one per line, " +
         "are tried in order. Without one, proxies are checked for reachability only (the check sites " +
         "below) and their anonymity is not graded."},
  {name: "check_sites", kind: "lines", label: "Check sites",
   hint: "Pages fetched through a proxy while no checker service answers, one per line: " +
         "http://HOST[:PORT]/PATH WORD, the word the page must hold. Empty: the built-in sites."},
  {name: "check_parallel", kind: "count", label: "Checks at once", dflt: 64, max: 256,
   hint: "Proxy checks that run at the same time (0: only the checks you ask for)."},
  {name: "check_timeout", kind: "count", label: "Seconds a proxy may take to answer a check", dflt: 10,
   max: 120, hint: "A proxy that stays silent longer fails that step of its check."},
  {name: "chain_retries", kind: "count", label: "Attempts after a failed chain", dflt: 2, max: 5,
   hint: "A chain that fails before the destination answered is built again through other proxies."},
  {name: "hop_timeout", kind: "count", label: "Seconds a proxy in a chain may take to answer", dflt: 8, max: 60,
   hint: "A proxy that does not answer in time counts as failed and the chain is tried through " +
         "another one. Connecting to the first proxy waits 5 seconds at most."},
  {name: "race_after", kind: "count", label: "Seconds before a second attempt races a slow one", dflt: 2,
   max: 60, hint: "The first attempt to reach the destination carries the client; the other is " +
   "closed without counting against its proxies. 0 turns racing off."},
  {name: "chain_timeout", kind: "count", label: "Seconds a whole chain may take", dflt: 30, max: 180,
   hint: "The client is told the chain failed when no attempt stood within this time."},
  {name: "block_transparent", kind: "check", label: "Block proxies that a check finds transparent",
   hint: "A transparent proxy passes your own address on to the sites you visit."},
  {name: "delete_dead", kind: "check", label: "Delete proxies that keep failing their checks",
   hint: "Proxies dead for two days are purged from the list."},
  {name: "force_http_10", kind: "check", label: "Send web requests as HTTP/1.0",
   hint: "Rewrites plain HTTP requests so that each connection carries one request.", dflt: 1},
  {name: "remote_dns", kind: "check", label: "Let the last proxy look up site names",
   hint: "Site names are passed on to the last proxy of the chain and never looked up on this " +
         "machine, so its network and name server do not learn which sites you visit.", dflt: 1},
  {name: "rules", kind: "lines", label: "Destination rules",
   hint: "One rule a line, MATCH ACTION; the first rule that matches wins, and a destination no rule " +
         "matches goes through the chain. MATCH: a host name (intranet.example), a domain with its " +
         "subdomains (.corp.example), an address or range (192.168.0.0/16, fd00::/8), each optionally " +
         "with :PORT or :PORT-PORT, or *. ACTION: direct (this machine connects itself), chain, or " +
         "block. Browsers can take them from /proxy.pac on the proxy port."},
  {name: "log_level", kind: "level", label: "Logging"},
  {name: "log_dir", kind: "text", label: "Log folder", hint: "Where traffic statistics and diagnostic logs are written."},
  {name: "download_urls", kind: "lines", label: "Proxy list addresses",
   hint: "Addresses of proxy lists to download, one per line."}
];
var LOG_LEVELS = [[0, "Off"], [1, "Traffic statistics"], [2, "Traffic statistics and diagnostic log"]];

function buildSettingsView() {
  var fields = el("div", {className: "fields"});
  for (var i = 0; i < SETTING_FIELDS.length; i++) {
    var f = SETTING_FIELDS[i], id = "set_" + f.name, input;
    if (f.kind === "check") {
      fields.appendChild(el("div", {className: "field check"}, [
        el("label", null, [el("input", {type: "checkbox", id: id}), " " + f.label]),
        f.hint ? el("div", {className: "hint", text: f.hint}) : null]));
      continue;
    }
    if (f.kind === "level") input = el("select", {id: id});
    else if (f.kind === "lines") input = el("textarea", {id: id, rows: 5});
    else if (f.kind === "count") input = el("input", {type: "number", id: id, min: 0, max: f.max});
    else input = el("input", {type: "text", id: id});
    fields.appendChild(el("div", {className: "field"}, [
      el("label", {htmlFor: id, text: f.label}), input, f.hint ? el("div", {className: "hint", text: f.hint}) : null]));
  }
  var markDirty = function () { settingsState.dirty = true; };
  return el("div", {id: "view_settings", className: "view", oninput: markDirty, onchange: markDirty,
                    onclick: function (e) { if (e.target.tagName === "BUTTON" && e.target.id !== "settings_save") markDirty(); }}, [
    el("h2", {text: "Chain"}),
    el("p", {className: "hint", text: "Every client connection passes through these proxies in this order, " +
                                      "then reaches its destination. Each link says how its proxy is picked."}),
    el("div", {id: "chain_links"}),
    el("div", {className: "chain_tools"}, [
      el("button", {id: "chain_add", text: "+ Add link", onclick: function () {
        readChainForm();
        if (settingsState.links.length >= MAX_LINKS) return notice("A chain holds at most " + MAX_LINKS + " links.", "error");
        settingsState.links.push({selection: 3, flags: 0x5C, ip: 0, port: 0});
        renderChain();
      }})]),
    el("h2", {text: "Settings"}),
    fields,
    el("div", {id: "other_settings"}),
    el("div", {className: "savebar"}, [
      el("button", {id: "settings_save", className: "primary", text: "Save settings", onclick: saveSettings}),
      el("button", {id: "settings_reload", text: "Discard changes", onclick: function () { command("settings"); }}),
      el("span", {id: "save_result", className: "result"})])
  ]);
}

function onSettings(v) {
  if (!v || typeof v !== "object") return;
  if (v.now) clockSkew = num(v.now) - (minuteNow() - clockSkew);
  settingsState.loaded = true;
  settingsState.dirty = false;
  settingsState.values = v;
  settingsState.links = [];
  var chain = Array.isArray(v.chain) ? v.chain : [];
  for (var i = 0; i < chain.length; i++) {
    var r = chain[i];
    if (!Array.isArray(r)) continue;
    settingsState.links.push({selection: num(r[LINK.selection]), flags: num(r[LINK.flags]),
                              ip: Number(r[LINK.ip]) >>> 0, port: num(r[LINK.port])});
  }
  renderChain();
  /* A refused list of rules stays in the editor as typed, to be corrected. */
  var refusal = num(v.saved) === 1 ? v.rules_refused || v.refused : "";
  for (i = 0; i < SETTING_FIELDS.length; i++) {
    var f = SETTING_FIELDS[i], input = byId("set_" + f.name);
    if (f.name === "rules" && v.rules_refused && num(v.saved) === 1) continue;
    var has = Object.prototype.hasOwnProperty.call(v, f.name) && v[f.name] !== null;
    var value = has ? v[f.name] : f.dflt;
    if (f.kind === "check") input.checked = num(value) > 0;
    else if (f.kind === "level") {
      clear(input);
      var level = num(value), found = false;
      for (var j = 0; j < LOG_LEVELS.length; j++) {
        input.appendChild(el("option", {value: String(LOG_LEVELS[j][0]), text: LOG_LEVELS[j][1]}));
        if (LOG_LEVELS[j][0] === level) found = true;
      }
      if (!found) input.appendChild(el("option", {value: String(level), text: "Level " + level}));
      input.value = String(level);
    } else input.value = value === undefined || value === null ? "" : String(value);
  }
  renderOtherSettings(v);
  var result = byId("save_result");
  if (refusal) {
    result.textContent = String(refusal);
    result.className = "result error";
    notice(String(refusal), "error");
  } else if (num(v.saved) === 1) {
    result.textContent = "Settings saved.";
    result.className = "result saved";
    notice("Settings saved.", "ok");
  } else if (result.className.indexOf("saved") < 0) result.textContent = "";
}

function renderOtherSettings(v) {
  var known = {chain: 1, saved: 1, now: 1, refused: 1, rules_refused: 1};
  for (var i = 0; i < SETTING_FIELDS.length; i++) known[SETTING_FIELDS[i].name] = 1;
  var box = clear(byId("other_settings")), rows = [];
  for (var k in v) {
    if (!Object.prototype.hasOwnProperty.call(v, k) || known[k]) continue;
    var value = v[k];
    if (k === "download_urls_time" && num(value)) value = dateText(minuteDate(value));
    rows.push(el("tr", null, [el("th", {text: k}), el("td", {text: value === null ? "" : String(value)})]));
  }
  if (!rows.length) return;
  box.appendChild(el("details", null, [el("summary", {text: "Other stored values"}),
                                       el("table", {className: "kv"}, [el("tbody", null, rows)])]));
}

function renderChain() {
  var box = clear(byId("chain_links"));
  var links = settingsState.links;
  if (!links.length) {
    box.appendChild(el("p", {className: "warning", text: "The chain is empty: clients cannot be served until it has a link."}));
  }
  for (var i = 0; i < links.length; i++) box.appendChild(linkEditor(i, links[i], links.length));
  box.appendChild(el("div", {className: "chain_end"}, [el("span", {className: "dest", text: "\u2192 destination"})]));
}

function linkEditor(i, link, count) {
  var sel = el("select", {className: "selection", id: "link_selection" + i});
  for (var s = 0; s < SELECTIONS.length; s++)
    sel.appendChild(el("option", {value: String(SELECTIONS[s][0]), text: SELECTIONS[s][1]}));
  if (link.selection < 1 || link.selection > 5)
    sel.appendChild(el("option", {value: String(link.selection), text: "Unknown (" + link.selection + ")"}));
  sel.value = String(link.selection);
  var protos = [];
  for (var p = 0; p < PROTOCOLS.length; p++) {
    protos.push(el("label", {className: "check"}, [
      el("input", {type: "checkbox", className: "proto", value: String(PROTOCOLS[p][0]),
                   checked: !!(link.flags & PROTOCOLS[p][0])}), " " + PROTOCOLS[p][1]]));
  }
  var fixed = el("span", {className: "fixed"}, [
    el("label", {text: "Proxy "}),
    el("input", {type: "text", className: "fixed_addr", placeholder: "address:port",
                 value: link.ip || link.port ? ipText(link.ip) + ":" + link.port : ""})]);
  var anyAnon = el("span", {className: "anon"}, [
    el("label", {className: "check", title: "Proxies that pass your address on"}, [
      el("input", {type: "checkbox", className: "accept_transparent", checked: !!(link.flags & TRANSPARENT)}),
      " transparent"]),
    el("label", {className: "check", title: "Proxies that hide your address but show that a proxy is used"}, [
      el("input", {type: "checkbox", className: "accept_anonymous", checked: !!(link.flags & ANONYMOUS)}),
      " anonymous"]),
    el("span", {className: "hint", text: "(elite always)"})]);
  function sync() {
    var isFixed = sel.value === "5";
    fixed.style.display = isFixed ? "" : "none";
    anyAnon.style.display = isFixed ? "none" : "";
  }
  sel.addEventListener("change", sync);
  var move = function (delta) {
    return function () {
      readChainForm();
      var j = i + delta, l = settingsState.links;
      if (j < 0 || j >= l.length) return;
      var t = l[i];
      l[i] = l[j];
      l[j] = t;
      renderChain();
    };
  };
  var editor = el("div", {className: "link"}, [
    el("span", {className: "link_no", text: String(i + 1)}),
    el("span", {className: "group"}, [el("span", {className: "caption", text: "Pick"}), sel]),
    el("span", {className: "group"}, [el("span", {className: "caption", text: "Protocols"})].concat(protos)),
    el("span", {className: "group"}, [el("span", {className: "caption", text: "Accept"}), anyAnon, fixed]),
    el("span", {className: "link_tools"}, [
      el("button", {className: "up", title: "Move up", text: "\u2191", disabled: i === 0, onclick: move(-1)}),
      el("button", {className: "down", title: "Move down", text: "\u2193", disabled: i === count - 1,
                    onclick: move(1)}),
      el("button", {className: "remove", title: "Remove this link", text: "\u2715", onclick: function () {
        readChainForm();
        settingsState.links.splice(i, 1);
        renderChain();
      }})])
  ]);
  sync();
  return editor;
}

/* Reads the chain editor back into settingsState.links; returns an error
 * text or "". */
function readChainForm() {
  var editors = byId("chain_links").getElementsByClassName("link");
  var links = [], error = "";
  for (var i = 0; i < editors.length; i++) {
    var e = editors[i];
    var selection = Number(e.getElementsByClassName("selection")[0].value);
    var flags = 0, boxes = e.getElementsByClassName("proto");
    for (var b = 0; b < boxes.length; b++)
      if (boxes[b].checked) flags |= Number(boxes[b].value);
    var ip = 0, port = 0;
    if (selection === 5) {
      var text = e.getElementsByClassName("fixed_addr")[0].value.trim();
      var m = /^([\d.]+)\s*[: ]\s*(\d{1,5})$/.exec(text);
      ip = m ? ipNumber(m[1]) : -1;
      port = m ? Number(m[2]) : 0;
      if (ip < 0 || port < 1 || port > 65535) {
        error = error || "Link " + (i + 1) + ": give the fixed proxy as address:port.";
        ip = 0;
        port = 0;
      }
    } else {
      if (e.getElementsByClassName("accept_transparent")[0].checked) flags |= TRANSPARENT;
      if (e.getElementsByClassName("accept_anonymous")[0].checked) flags |= ANONYMOUS;
    }
    if (!(flags & PROTOCOL_BITS)) error = error || "Link " + (i + 1) + ": choose at least one protocol.";
    links.push({selection: selection, flags: flags, ip: ip, port: port});
  }
  settingsState.links = links;
  return error;
}

function saveSettings() {
  var error = readChainForm();
  var result = byId("save_result");
  if (error) {
    result.textContent = error;
    result.className = "result error";
    return;
  }
  var p = {num: settingsState.links.length};
  for (var i = 0; i < settingsState.links.length; i++) {
    var l = settingsState.links[i];
    p["selection" + i] = l.selection;
    p["flags" + i] = l.flags;
    p["ip" + i] = l.ip >>> 0;
    p["port" + i] = l.port;
  }
  for (i = 0; i < SETTING_FIELDS.length; i++) {
    var f = SETTING_FIELDS[i], input = byId("set_" + f.name);
    if (f.kind === "check") p[f.name] = input.checked ? 1 : 0;
    else if (f.kind === "level") p[f.name] = Number(input.value) || 0;
    else p[f.name] = input.value;
  }
  result.textContent = "Saving\u2026";
  result.className = "result";
  command("save_settings", p);
}

/* ---- Status ------------------------------------------------------------ */

var statusTimer = 0;

function buildStatusView() {
  return el("div", {id: "view_status", className: "view"}, [
    el("div", {className: "toolbar"}, [
      el("span", {className: "caption", text: "Open connections, refreshed every " + STATUS_REFRESH_MS / 1000 + " seconds."}),
      el("span", {id: "status_time", className: "hint"}),
      el("button", {className: "icon", title: "Refresh now", onclick: refreshStatus},
         [el("img", {src: "refresh.png", alt: ""}), " Refresh"])]),
    el("div", {id: "status_page", className: "netstatus"})
  ]);
}

function startStatus() {
  stopStatus();
  refreshStatus();
  statusTimer = setInterval(refreshStatus, STATUS_REFRESH_MS);
}

function stopStatus() {
  if (statusTimer) clearInterval(statusTimer);
  statusTimer = 0;
}

function refreshStatus() {
  if (document.hidden) return;
  loadPage("netstatus.html", function (frag) {
    if (current !== "status") return;
    var box = byId("status_page");
    if (!frag) {
      byId("status_time").textContent = "The status page could not be loaded.";
      return;
    }
    clear(box).appendChild(frag);
    var now = new Date();
    byId("status_time").textContent = "Updated " + pad2(now.getHours()) + ":" + pad2(now.getMinutes()) + ":" +
                                      pad2(now.getSeconds());
  });
}

/* ---- About ------------------------------------------------------------- */

function buildAboutView() {
  return el("div", {id: "view_about", className: "view"}, [el("div", {id: "about_page", className: "about_box"})]);
}

function loadAbout() {
  loadPage("about.html", function (frag) {
    var box = clear(byId("about_page"));
    if (frag) box.appendChild(frag);
    box.appendChild(el("p", {className: "hint", text: "Set 127.0.0.1 and the port of this panel as the SOCKS4, " +
                                                     "SOCKS5, HTTP or HTTPS proxy of your programs."}));
  });
}

/* ---- the push channel -------------------------------------------------- */

var flow = {state: "down", reloadAt: 0, lastPush: 0, retry: 0, seq: 0};

/* (Re)loads flow.html into the frame, which opens a new push channel. */
function ReloadFlow(arg) {
  var frame = byId("flow");
  if (!frame) return;
  clearTimeout(flow.retry);
  flow.retry = 0;
  flow.reloadAt = Date.now();
  flow.seq++;
  setChannel(flow.state === "up" ? "up" : "connecting");
  frame.src = "flow.html?r=" + flow.seq;
  return arg;
}

function frameLoading() {
  var frame = byId("flow");
  try {
    var doc = frame.contentDocument;
    return !!doc && doc.readyState === "loading" && /flow\.html/.test(doc.location.href);
  } catch (e) {
    return false;
  }
}

/* The frame finished loading: the server ended the channel (or could not be
 * reached). flow.html asks for a reload after a second; if the frame holds
 * no flow page (an error page), retry from here. */
function onFlowLoad() {
  var frame = byId("flow"), href = "";
  if (!frame || !/flow\.html/.test(frame.src)) return;
  try {
    href = frame.contentDocument.location.href;
  } catch (e) {
    href = "";  // an error page of the browser
  }
  if (href === "about:blank") return;
  setChannel("down");
  if (!flow.retry) flow.retry = setTimeout(function () { flow.retry = 0; ReloadFlow(1); }, 1500);
}

function flowWatch() {
  if (frameLoading()) {
    if (flow.state !== "up" && (flow.lastPush >= flow.reloadAt || Date.now() - flow.reloadAt > 2000)) setChannel("up");
  } else {
    if (flow.state === "up") setChannel("down");
    if (Date.now() - flow.reloadAt > 4000 && !flow.retry) ReloadFlow(1);
  }
}

function setChannel(state) {
  flow.state = state;
  var sign = byId("channel");
  if (!sign) return;
  sign.className = "channel " + state;
  sign.textContent = state === "up" ? "Live" : state === "connecting" ? "Connecting\u2026" : "Push channel down";
  sign.title = state === "up" ? "Check results and the public address arrive as they happen"
                              : "The panel is not receiving pushed updates; reconnecting";
  document.body.classList.toggle("offline", state === "down");
}

/* ---- the single entry for replies and pushed calls --------------------- */

function ajax_callback(name, value) {
  // Calls from the flow frame arrive here; replies are read by command().
  flow.lastPush = Date.now();
  if (flow.state !== "up" && frameLoading()) setChannel("up");
  dispatch(name, value, true);
}

function dispatch(name, value, pushed) {
  try {
    if (name === "load_proxy") onProxyList(value);
    else if (name === "upload_proxy") onUpload(value);
    else if (name === "block_proxy") onBlock(value);
    else if (name === "settings") onSettings(value);
    else if (name === "my_ip") onMyIp(value);
    else if (name === "check_proxy") onCheck(value);
    else if (name === "check_pass") onCheckPass(value);
    else if (name === "db_damaged") notice(String(value), "error");
    /* "ping" and unknown names need nothing */
  } catch (e) {
    if (window.console) console.error("panel:", name, e);
  }
  return pushed;
}

function onMyIp(v) {
  var box = byId("my_ip");
  if (!box || !v || typeof v !== "object") return;
  var n = Number(v.n) >>> 0;
  box.textContent = n ? String(v.s) : "not known yet";
  box.title = n ? "The address the outside world sees for this machine" : "";
  /* Without a checker service that answers, proxies are checked for reachability only. */
  var off = byId("checks_off");
  if (off) off.style.display = n ? "none" : "";
}

function onCheckPass(text) {
  var box = byId("check_pass");
  if (!box) return;
  box.textContent = typeof text === "string" ? text : "";
  box.style.display = box.textContent ? "" : "none";
}

function showCheckerField() {
  showView("settings");
  var field = byId("set_url_checker");
  if (field) field.focus();
}

/* ---- start ------------------------------------------------------------- */

function start() {
  var title = byId("top_title");
  var menu = byId("top_menu");
  if (!title || !menu) return;
  var frame = byId("flow");
  title.insertBefore(el("span", {className: "header_info"}, [
    el("span", {className: "caption", text: "Public address "}),
    el("span", {id: "my_ip", text: "\u2013"}),
    el("a", {id: "checks_off", className: "checks_off", href: "#settings", style: "display:none",
             title: "Set the checker service in the settings",
             text: "Checks: reachability only \u2014 set a checker service to grade anonymity",
             onclick: function (e) { e.preventDefault(); showCheckerField(); }}),
    el("span", {id: "check_pass", className: "check_pass", style: "display:none"}),
    el("span", {id: "channel", className: "channel connecting", text: "Connecting\u2026"}),
    el("img", {id: "busy", src: "loading.gif", alt: "working", style: "visibility:hidden"})]), frame.nextSibling);
  // A last empty cell takes the rest of the menu row; the title spans it too.
  menu.appendChild(el("td", {className: "menu_fill"}));
  title.colSpan = menu.cells.length;
  for (var i = 0; i < VIEWS.length; i++) {
    var tab = byId(VIEWS[i]);
    if (!tab) continue;
    tab.className = "tab";
    tab.tabIndex = 0;
    tab.addEventListener("click", showView.bind(null, VIEWS[i]));
    tab.addEventListener("keydown", function (e) {
      if (e.key === "Enter" || e.key === " ") {
        e.preventDefault();
        showView(this.id);
      }
    });
  }
  var main = el("div", {id: "main"}, [
    el("div", {id: "notice", className: "notice", style: "display:none"}),
    buildProxyView(), buildSettingsView(), buildStatusView(), buildAboutView()]);
  document.body.appendChild(main);
  frame.addEventListener("load", onFlowLoad);
  // The channel never finishes loading; open it after the page's own load so
  // that the page counts as loaded.
  var open = function () {
    setTimeout(function () { ReloadFlow(1); }, 0);
    setInterval(flowWatch, 1000);
  };
  if (document.readyState === "complete") open();
  else window.addEventListener("load", open);
  showView((window.location.hash || "#proxy").substring(1));
  if (current !== "settings") command("settings");  // the server's minute clock, for times shown
}

if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", start);
else start();
