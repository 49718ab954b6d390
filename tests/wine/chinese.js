// The control's own texts for a Simplified Chinese user: run with
// LC_ALL=zh_CN.UTF-8 (Wine's UI language 2052, so LoadStringW picks the 2052
// string table). cscript reads this file in code page 936: the texts are
// escapes and no line ends in a Chinese character.

function run() {
  var agent = newAgent();
  // [name, call, raised status, its 2052 text]
  var rows = [
    ["SetKeyAlgorithm ECC", function () { return agent.ZENQ_SetKeyAlgorithm("ECC"); }, 0xA0072401,
     "\u65e0\u6548\u7684\u5bc6\u94a5\u7b97\u6cd5"],  // 无效的密钥算法 (Invalid key algorithm.)
    ["SetCSPInfo 333", function () { return agent.ZENQ_SetCSPInfo(333, enhanced); }, 0xA0072400,
     "\u5bc6\u94a5\u957f\u5ea6\u4e0d\u652f\u6301"]   // 密钥长度不支持 (Key length is not supported.)
  ];
  for (var i = 0; i < rows.length; i++) checkRow(agent, rows[i][0], attempt(rows[i][1]), rows[i][2], rows[i][3]);
}

finish(run);
