// The control's own texts for a Simplified Chinese user: run with
// LC_ALL=zh_CN.UTF-8 (Wine's UI language 2052, so LoadStringW picks the 2052
// string table). cscript reads this file in code page 936: the text is
// escaped and no line ends in a Chinese character.

function run() {
  var agent = newAgent();
  var outcome = attempt(function () { return agent.ZENQ_SetKeyAlgorithm("ECC"); });
  checkRow(agent, "SetKeyAlgorithm ECC", outcome, 0xA0072401,
           "\u65e0\u6548\u7684\u5bc6\u94a5\u7b97\u6cd5");  // 无效的密钥算法 (Invalid key algorithm.)
}

finish(run);
