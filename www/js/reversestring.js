// The ReverseString form: sends the text through the REST proxy and shows the answer.
"use strict";
document.addEventListener("DOMContentLoaded", function () {
  var form = document.getElementById("reverse-form");
  var input = document.getElementById("text");
  var button = document.getElementById("reverse");
  var box = document.getElementById("result");
  var answer = document.getElementById("answer");
  var methods = new TServerMethods1();

  form.addEventListener("submit", function (event) {
    event.preventDefault();
    button.disabled = true;
    box.className = "result";
    methods.ReverseString(input.value).then(function (reversed) {
      answer.textContent = reversed;
      box.className = "result ok";
    }, function (error) {
      answer.textContent = "Error: " + error.message;
      box.className = "result error";
    }).then(function () { button.disabled = false; });
  });
});
