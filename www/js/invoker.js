// The server-function invoker: one entry per method of the generated proxy's metadata, with
// an input per parameter and a button that calls the method and shows what it returned.
"use strict";
document.addEventListener("DOMContentLoaded", function () {
  var list = document.getElementById("method-list");
  var metadata = window.ServerFunctionsMetadata || {};
  var connection = new DSRESTConnection();

  function element(tag, className, text) {
    var e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  Object.keys(metadata).forEach(function (className) {
    Object.keys(metadata[className]).forEach(function (methodName) {
      var params = metadata[className][methodName].params;
      var id = className + "." + methodName;
      var entry = element("form", "method");
      entry.dataset.method = id;
      var title = element("h3", "", id);
      title.appendChild(element("span", "sig", "(" + params.join(", ") + ")"));
      entry.appendChild(title);
      var fields = element("div", "params");
      var inputs = params.map(function (name, i) {
        var label = element("label", "", name);
        var input = element("input");
        input.type = "text";
        input.name = name;
        input.id = id + "." + i;
        label.htmlFor = input.id;
        fields.appendChild(label);
        fields.appendChild(input);
        return input;
      });
      var row = element("div", "call-row");
      row.appendChild(fields);
      var button = element("button", "", "Call " + methodName);
      button.type = "submit";
      row.appendChild(button);
      entry.appendChild(row);
      var box = element("div", "result");
      box.appendChild(element("span", "label", "Result"));
      var output = element("span", "output");
      box.appendChild(output);
      entry.appendChild(box);
      entry.addEventListener("submit", function (event) {
        event.preventDefault();
        button.disabled = true;
        box.className = "result";
        connection.call(className, methodName, inputs.map(function (i) { return i.value; }))
          .then(function (result) {
            output.textContent = JSON.stringify(result.length === 1 ? result[0] : result);
            box.className = "result ok";
          }, function (error) {
            output.textContent = "Error: " + error.message;
            box.className = "result error";
          }).then(function () { button.disabled = false; });
      });
      list.appendChild(entry);
    });
  });
  if (!list.children.length) list.appendChild(element("p", "hint", "The server publishes no methods."));
});
