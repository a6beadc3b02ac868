// The search page of the HTTP interface: one HTML document with its style and script inline,
// so that it works on a machine without a network. The script reads the search from the
// address (text=, field=, start=, order=desc and one f_<field>=<value> per chosen facet
// value), asks /search (the box's text in the search-box language of text=, each chosen facet
// value added as a term) for the page of hits with snippets of the text fields and facet counts
// of the filter fields, and shows them. Every change of the search (a facet value, the
// paging, the newest-first switch, the form) is a link to the address of the new search, so
// the browser's history, bookmarks and reloads all show the same search. While a word is
// typed, /suggest offers dictionary words that begin with it (keyboard and mouse).
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
input[type=search] { width: 100%; box-sizing: border-box; font-size: 1.1em; padding: .3em; }
#box { flex: 1 1 20em; position: relative; }
#suggestions { position: absolute; left: 0; right: 0; z-index: 1; margin: 0; padding: 0;
  list-style: none; background: #fff; border: 1px solid #999; }
#suggestions li { padding: .2em .4em; cursor: pointer; display: flex;
  justify-content: space-between; }
#suggestions li[aria-selected=true] { background: #36c; color: #fff; }
#suggestions .count { color: inherit; opacity: .7; margin-left: 1em; }
select, button { font-size: 1em; padding: .3em .6em; }
button:focus, input:focus, select:focus, a:focus { outline: 2px solid #36c; }
#status { margin: 1em 0 .5em; }
#status.error { color: #b00; }
#layout { display: flex; gap: 1.5em; align-items: flex-start; }
#facets { flex: 0 0 12em; }
#facets h2 { font-size: 1em; margin: .8em 0 .3em; }
#facets ul { list-style: none; padding: 0; margin: 0; }
#facets li { display: flex; justify-content: space-between; padding: .1em 0; }
#facets .count { color: #666; margin-left: .5em; }
#facets .chosen { font-weight: bold; }
main { flex: 1 1 auto; min-width: 0; }
nav { margin: .8em 0; display: flex; gap: .8em; align-items: center; }
nav a[aria-disabled=true] { color: #999; pointer-events: none; text-decoration: none; }
#hits { padding-left: 1.5em; }
#hits > li { margin-bottom: 1em; }
.field { margin: .15em 0; white-space: pre-wrap; overflow-wrap: anywhere; }
.name { color: #666; font-size: .85em; margin-right: .5em; }
mark { background: #ffe066; color: inherit; }
details { font-size: .9em; margin-top: .2em; }
details dl { margin: .3em 0; }
details dd { margin: 0 0 .4em 1em; white-space: pre-wrap; overflow-wrap: anywhere; }
</style>
</head>
<body>
<h1>Search</h1>
<form id="form" role="search">
<label for="text">Words</label>
<span id="box"><input type="search" id="text" name="text" autofocus autocomplete="off"
 role="combobox" aria-autocomplete="list" aria-expanded="false" aria-controls="suggestions">
<ul id="suggestions" role="listbox" aria-label="Suggested words" hidden></ul></span>
<label for="field">in</label>
<select id="field" name="field"><option value="*">all fields</option></select>
<button type="submit">Search</button>
</form>
<div id="layout">
<aside id="facets" aria-label="Narrow by"></aside>
<main>
<p id="status" aria-live="polite"></p>
<nav><a id="previous" accesskey="p">&larr; Previous</a>
<span id="window"></span>
<a id="next" accesskey="n">Next &rarr;</a>
<a id="order" role="switch"></a>
<a id="rank" role="switch"></a></nav>
<ol id="hits"></ol>
</main>
</div>
<script>
"use strict";
const kFields = )PAGE";

const char kPageTail[] = R"PAGE(;
const kIndexed = kFields.indexed, kSnippets = kFields.snippets, kFacets = kFields.facets;
const kCount = 20;
let containsIndexes = true;  // until the server says the data set has none
const textBox = document.getElementById("text");
const fieldBox = document.getElementById("field");
const statusLine = document.getElementById("status");
const previous = document.getElementById("previous");
const next = document.getElementById("next");
const order = document.getElementById("order");
const rank = document.getElementById("rank");
for (const name of kIndexed) {
  const option = document.createElement("option");
  option.value = name;
  option.textContent = name;
  fieldBox.appendChild(option);
}

// The search of the address.
function readAddress() {
  const parameters = new URLSearchParams(location.search);
  const state = { text: parameters.get("text") || "", field: parameters.get("field") || "*",
                  start: Math.max(0, parseInt(parameters.get("start") || "0", 10) || 0),
                  descending: parameters.get("order") === "desc",
                  // Best match first unless the address asks for the table's order.
                  ranked: parameters.get("order") === null,
                  words: parameters.get("match") === "words", chosen: {} };
  if (![...fieldBox.options].some(o => o.value === state.field)) state.field = "*";
  for (const name of kFacets) {
    const value = parameters.get("f_" + name);
    if (value !== null && /^-?[0-9]+$/.test(value)) state.chosen[name] = value;
  }
  return state;
}

// The address of a search.
function addressOf(s) {
  const parameters = new URLSearchParams();
  parameters.set("text", s.text);
  if (s.field !== "*") parameters.set("field", s.field);
  for (const name of Object.keys(s.chosen)) parameters.set("f_" + name, s.chosen[name]);
  if (s.descending) {
    parameters.set("order", "desc");
  } else if (!s.ranked) {
    parameters.set("order", "asc");
  }
  if (s.words) parameters.set("match", "words");
  if (s.start > 0) parameters.set("start", String(s.start));
  return "?" + parameters.toString();
}

// The text= of a search: the box's text (the search-box language), each chosen facet value
// added as a term "name:value" that must hold too.
function textOf(s) {
  let text = s.text;
  for (const name of Object.keys(s.chosen)) text += " " + name + ":" + s.chosen[name];
  return text;
}

function element(tag, text, className) {
  const made = document.createElement(tag);
  if (text !== undefined) made.textContent = text;
  if (className) made.className = className;
  return made;
}

function link(anchor, address) {
  if (address === null) {
    anchor.removeAttribute("href");
    anchor.setAttribute("aria-disabled", "true");
  } else {
    anchor.href = address;
    anchor.removeAttribute("aria-disabled");
  }
}

function showFacets(state, answer) {
  const column = document.getElementById("facets");
  column.replaceChildren();
  for (const name of kFacets) {
    const counts = (answer.facets || {})[name] || [];
    if (counts.length === 0 && state.chosen[name] === undefined) continue;
    column.appendChild(element("h2", name));
    const list = element("ul");
    list.dataset.field = name;
    for (const entry of counts) {
      const item = element("li");
      const narrowed = { ...state, start: 0, chosen: { ...state.chosen, [name]: String(entry.value) } };
      const anchor = element("a", String(entry.value), "value");
      if (state.chosen[name] === String(entry.value)) {
        anchor.classList.add("chosen");
        const widened = { ...state, start: 0, chosen: { ...state.chosen } };
        delete widened.chosen[name];
        anchor.href = addressOf(widened);
        anchor.title = "show all values again";
        anchor.textContent = entry.value + " \u00d7";
      } else {
        anchor.href = addressOf(narrowed);
      }
      item.appendChild(anchor);
      item.appendChild(element("span", String(entry.count), "count"));
      list.appendChild(item);
    }
    column.appendChild(list);
  }
}

function showHits(answer) {
  const list = document.getElementById("hits");
  list.replaceChildren();
  list.start = answer.start + 1;
  for (const hit of answer.hits) {
    const item = element("li");
    let short = true;
    for (const name of answer.fields) {
      const line = element("div", undefined, "field");
      line.dataset.field = name;
      line.appendChild(element("span", name, "name"));
      const value = element("span", undefined, "value");
      if (hit.snippets && hit.snippets[name] !== undefined) {
        value.innerHTML = hit.snippets[name];  // HTML from the server: escaped, marks added
        if (hit.snippets[name].startsWith("\u2026") || hit.snippets[name].endsWith("\u2026")) short = false;
      } else {
        value.textContent = hit[name];
      }
      line.appendChild(value);
      item.appendChild(line);
    }
    if (!short) {
      const details = element("details");
      details.appendChild(element("summary", "Full text"));
      const fields = element("dl");
      for (const name of answer.fields) {
        fields.appendChild(element("dt", name, "name"));
        fields.appendChild(element("dd", hit[name]));
      }
      details.appendChild(fields);
      item.appendChild(details);
    }
    list.appendChild(item);
  }
}

function show(state, answer) {
  statusLine.className = "";
  statusLine.textContent = answer.total + (answer.total === 1 ? " hit" : " hits");
  const last = answer.start + answer.returned;
  document.getElementById("window").textContent =
      answer.returned > 0 ? (answer.start + 1) + "\u2013" + last : "";
  link(previous, state.start > 0 ? addressOf({ ...state, start: Math.max(0, state.start - kCount) }) : null);
  link(next, last < answer.total ? addressOf({ ...state, start: state.start + kCount }) : null);
  showFacets(state, answer);
  showHits(answer);
}

async function search(state) {
  textBox.value = state.text;
  fieldBox.value = state.field;
  order.setAttribute("aria-checked", state.descending ? "true" : "false");
  order.textContent = state.descending ? "\u2611 Newest first" : "\u2610 Newest first";
  link(order, addressOf({ ...state, start: 0, descending: !state.descending, ranked: false }));
  const best = state.ranked && !state.descending;
  rank.setAttribute("aria-checked", best ? "true" : "false");
  rank.textContent = best ? "\u2611 Best match first" : "\u2610 Best match first";
  link(rank, addressOf({ ...state, start: 0, descending: false, ranked: !best }));
  link(previous, null);
  link(next, null);
  if (state.text.trim() === "") {
    statusLine.textContent = "Type words to search for.";
    return;
  }
  statusLine.textContent = "Searching\u2026";
  const parameters = new URLSearchParams({ text: textOf(state), start: String(state.start),
                                           count: String(kCount) });
  if (state.field !== "*") parameters.set("field", state.field);
  if (state.descending) {
    parameters.set("order", "desc");
  } else if (state.ranked) {
    parameters.set("order", "relevance");
  }
  // Every occurrence of the words, inside longer dictionary words too, unless the address
  // asks for whole words; a data set built without contains indexes answers by words.
  parameters.set("match", state.words || !containsIndexes ? "words" : "contains");
  if (kSnippets.length > 0) parameters.set("snippet", kSnippets.join(","));
  if (kFacets.length > 0) parameters.set("facet", kFacets.join(","));
  try {
    let response = await fetch("search?" + parameters.toString());
    let answer = await response.json();
    if (response.status === 400 && parameters.get("match") === "contains" &&
        String(answer.error).includes("contains indexes")) {
      containsIndexes = false;
      parameters.set("match", "words");
      response = await fetch("search?" + parameters.toString());
      answer = await response.json();
    }
    if (!response.ok) throw new Error(answer.error || response.statusText);
    show(state, answer);
  } catch (failure) {
    statusLine.className = "error";
    statusLine.textContent = "Search failed: " + failure.message;
  }
}

// Type-ahead: the dictionary words that begin with the term being typed (the text after the
// last blank, parenthesis, quote or "|", without a leading "-" or "field:"), most frequent
// first. Up and Down move through them, Enter or a click takes one, Escape closes the list.
const suggestions = document.getElementById("suggestions");
let suggestTimer = 0;
let suggestAsked = 0;  // the number of the latest request; older answers are dropped
let activeSuggestion = -1;

function currentTerm() {
  const text = textBox.value;
  const start = Math.max(...[" ", "\t", "(", ")", "\"", "|"].map(c => text.lastIndexOf(c))) + 1;
  let term = text.slice(start);
  let offset = start;
  if (term.startsWith("-")) { term = term.slice(1); offset += 1; }
  const colon = term.indexOf(":");
  if (colon >= 0) { offset += colon + 1; term = term.slice(colon + 1); }
  return { term, offset };
}

function closeSuggestions() {
  suggestions.hidden = true;
  suggestions.replaceChildren();
  activeSuggestion = -1;
  textBox.setAttribute("aria-expanded", "false");
  textBox.removeAttribute("aria-activedescendant");
}

function markSuggestion(index) {
  const items = suggestions.children;
  activeSuggestion = index;
  for (let i = 0; i < items.length; ++i) {
    items[i].setAttribute("aria-selected", i === index ? "true" : "false");
  }
  if (index >= 0) {
    textBox.setAttribute("aria-activedescendant", items[index].id);
  } else {
    textBox.removeAttribute("aria-activedescendant");
  }
}

function takeSuggestion(index) {
  const item = suggestions.children[index];
  if (!item) return;
  const { offset } = currentTerm();
  textBox.value = textBox.value.slice(0, offset) + item.dataset.word;
  closeSuggestions();
  textBox.focus();
}

async function askSuggestions() {
  const { term } = currentTerm();
  const asked = ++suggestAsked;
  if (term.trim() === "") { closeSuggestions(); return; }
  try {
    const response = await fetch("suggest?" + new URLSearchParams({ prefix: term, count: "8" }));
    const answer = await response.json();
    if (asked !== suggestAsked) return;
    if (!response.ok || answer.suggestions.length === 0) { closeSuggestions(); return; }
    suggestions.replaceChildren();
    answer.suggestions.forEach((suggestion, i) => {
      const item = document.createElement("li");
      item.id = "suggestion-" + i;
      item.setAttribute("role", "option");
      item.setAttribute("aria-selected", "false");
      item.dataset.word = suggestion.word;
      const word = document.createElement("span");
      word.textContent = suggestion.word;
      const count = document.createElement("span");
      count.className = "count";
      count.textContent = String(suggestion.records);
      item.append(word, count);
      item.addEventListener("mousedown", event => { event.preventDefault(); takeSuggestion(i); });
      suggestions.appendChild(item);
    });
    activeSuggestion = -1;
    suggestions.hidden = false;
    textBox.setAttribute("aria-expanded", "true");
  } catch (failure) {
    closeSuggestions();
  }
}

textBox.addEventListener("input", () => {
  clearTimeout(suggestTimer);
  suggestTimer = setTimeout(askSuggestions, 120);
});
textBox.addEventListener("blur", () => setTimeout(closeSuggestions, 150));
textBox.addEventListener("keydown", event => {
  const count = suggestions.hidden ? 0 : suggestions.children.length;
  if (event.key === "ArrowDown" && count > 0) {
    event.preventDefault();
    markSuggestion((activeSuggestion + 1) % count);
  } else if (event.key === "ArrowUp" && count > 0) {
    event.preventDefault();
    markSuggestion(activeSuggestion <= 0 ? count - 1 : activeSuggestion - 1);
  } else if (event.key === "Enter" && count > 0 && activeSuggestion >= 0) {
    event.preventDefault();
    takeSuggestion(activeSuggestion);
  } else if (event.key === "Escape" && count > 0) {
    event.preventDefault();
    closeSuggestions();
  }
});

document.getElementById("form").addEventListener("submit", event => {
  event.preventDefault();
  const state = readAddress();
  location.assign(addressOf({ ...state, text: textBox.value, field: fieldBox.value, start: 0 }));
});
document.addEventListener("keydown", event => {
  if (event.target === textBox || event.altKey || event.ctrlKey || event.metaKey) return;
  if (event.key === "ArrowLeft" && previous.href) location.assign(previous.href);
  if (event.key === "ArrowRight" && next.href) location.assign(next.href);
  if (event.key === "/") { event.preventDefault(); textBox.focus(); }
});
search(readAddress());
</script>
</body>
</html>
)PAGE";

// `names` as a JSON array.
nlohmann::json Names(const std::vector<std::string>& names) {
  nlohmann::json array = nlohmann::json::array();
  for (const std::string& name : names) array.push_back(name);
  return array;
}

}  // namespace

std::string SearchPage(const std::vector<std::string>& indexedNames,
                       const std::vector<std::string>& snippetNames,
                       const std::vector<std::string>& facetNames) {
  nlohmann::json fields = nlohmann::json::object();
  fields["indexed"] = Names(indexedNames);
  fields["snippets"] = Names(snippetNames);
  fields["facets"] = Names(facetNames);
  // "<" written as an escape, so that no name can end the script element.
  std::string names = fields.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
