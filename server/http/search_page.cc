// The search page of the HTTP interface: one HTML document with its style and script inline,
// so that it works on a machine without a network. The script reads the query from the
// address, asks /search for the page of hits and writes the address back when the query or
// the page changes, so that a search can be bookmarked.
#include "server/http/search_page.h"

#include <nlohmann/json.hpp>

namespace {

const char kPageHead[] = R"PAGE(<!DOCTYPE html>
<html lang="zh">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Search</title>
<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; }
form { display: flex; gap: .5em; flex-wrap: wrap; align-items: center; }
input[type=search] { flex: 1 1 20em; font-size: 1.1em; padding: .3em; }
select, button { font-size: 1em; padding: .3em .6em; }
button:focus, input:focus, select:focus { outline: 2px solid #36c; }
#status { margin: 1em 0 .5em; }
#status.error { color: #b00; }
table { border-collapse: collapse; width: 100%; }
th, td { border: 1px solid #ccc; padding: .3em .5em; text-align: left; vertical-align: top; }
th { background: #f0f3f8; }
td { white-space: pre-wrap; overflow-wrap: anywhere; }
td.short { white-space: nowrap; }
tbody tr:nth-child(even) { background: #fafafa; }
nav { margin: .8em 0; display: flex; gap: .5em; align-items: center; }
</style>
</head>
<body>
<h1>Search</h1>
<form id="form" role="search">
<label for="text">Words</label>
<input type="search" id="text" name="text" autofocus autocomplete="off">
<label for="field">in</label>
<select id="field" name="field"><option value="*">all fields</option></select>
<button type="submit">Search</button>
</form>
<p id="status" aria-live="polite"></p>
<nav><button id="previous" type="button" accesskey="p">&larr; Previous</button>
<span id="window"></span>
<button id="next" type="button" accesskey="n">Next &rarr;</button></nav>
<table id="hits"><thead></thead><tbody></tbody></table>
<script>
"use strict";
const kIndexed = )PAGE";

const char kPageTail[] = R"PAGE(;
const kCount = 20;
const form = document.getElementById("form");
const textBox = document.getElementById("text");
const fieldBox = document.getElementById("field");
const statusLine = document.getElementById("status");
const previous = document.getElementById("previous");
const next = document.getElementById("next");
for (const name of kIndexed) {
  const option = document.createElement("option");
  option.value = name;
  option.textContent = name;
  fieldBox.appendChild(option);
}
let state = { text: "", field: "*", start: 0 };

function readAddress() {
  const parameters = new URLSearchParams(location.search);
  state.text = parameters.get("text") || "";
  state.field = parameters.get("field") || "*";
  state.start = Math.max(0, parseInt(parameters.get("start") || "0", 10) || 0);
  textBox.value = state.text;
  if (![...fieldBox.options].some(o => o.value === state.field)) state.field = "*";
  fieldBox.value = state.field;
}

function addressOf(s) {
  const parameters = new URLSearchParams();
  parameters.set("text", s.text);
  if (s.field !== "*") parameters.set("field", s.field);
  if (s.start > 0) parameters.set("start", String(s.start));
  return "?" + parameters.toString();
}

function cell(tag, text) {
  const element = document.createElement(tag);
  element.textContent = text;
  return element;
}

function show(answer) {
  const head = document.querySelector("#hits thead");
  const body = document.querySelector("#hits tbody");
  head.replaceChildren();
  body.replaceChildren();
  statusLine.className = "";
  statusLine.textContent = answer.total + (answer.total === 1 ? " hit" : " hits");
  const last = answer.start + answer.returned;
  document.getElementById("window").textContent =
      answer.returned > 0 ? (answer.start + 1) + "\u2013" + last : "";
  previous.disabled = state.start <= 0;
  next.disabled = last >= answer.total;
  if (answer.returned === 0) return;
  const row = document.createElement("tr");
  for (const name of answer.fields) row.appendChild(cell("th", name));
  head.appendChild(row);
  for (const hit of answer.hits) {
    const line = document.createElement("tr");
    for (const name of answer.fields) {
      const value = cell("td", hit[name]);
      if (hit[name].length <= 12) value.className = "short";
      line.appendChild(value);
    }
    body.appendChild(line);
  }
}

async function search() {
  previous.disabled = true;
  next.disabled = true;
  if (state.text.trim() === "") {
    statusLine.textContent = "Type words to search for.";
    return;
  }
  statusLine.textContent = "Searching\u2026";
  const parameters = new URLSearchParams({ text: state.text, field: state.field,
                                           start: String(state.start), count: String(kCount) });
  try {
    const response = await fetch("search?" + parameters.toString());
    const answer = await response.json();
    if (!response.ok) throw new Error(answer.error || response.statusText);
    show(answer);
  } catch (failure) {
    statusLine.className = "error";
    statusLine.textContent = "Search failed: " + failure.message;
  }
}

function go(start) {
  state.start = Math.max(0, start);
  history.pushState(null, "", addressOf(state));
  search();
}

form.addEventListener("submit", event => {
  event.preventDefault();
  state.text = textBox.value;
  state.field = fieldBox.value;
  go(0);
});
previous.addEventListener("click", () => go(state.start - kCount));
next.addEventListener("click", () => go(state.start + kCount));
document.addEventListener("keydown", event => {
  if (event.target === textBox || event.altKey || event.ctrlKey || event.metaKey) return;
  if (event.key === "ArrowLeft" && !previous.disabled) go(state.start - kCount);
  if (event.key === "ArrowRight" && !next.disabled) go(state.start + kCount);
  if (event.key === "/") { event.preventDefault(); textBox.focus(); }
});
window.addEventListener("popstate", () => { readAddress(); search(); });
readAddress();
search();
</script>
</body>
</html>
)PAGE";

}  // namespace

std::string SearchPage(const std::vector<std::string>& indexedNames) {
  nlohmann::json indexed = nlohmann::json::array();
  for (const std::string& name : indexedNames) indexed.push_back(name);
  // "<" written as an escape, so that no name can end the script element.
  std::string names = indexed.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string escaped;
  for (char c : names) {
    if (c == '<') {
      escaped += "\\u003c";
    } else {
      escaped += c;
    }
  }
  return kPageHead + escaped + kPageTail;
}
