// The control's own texts for a Simplified Chinese user: scripts/wine-test
// runs this file with LC_ALL=zh_CN.UTF-8, which Wine turns into the thread's
// UI language 2052, so LoadStringW picks the 2052 string table. cscript then
// reads this file in code page 936, so the texts are escapes and no line
// ends in a Chinese character.

function run() {
  var agent = newAgent();
  // [name, call, raised status, its 2052 text]
  var rows = [
    ["SetKeyAlgorithm ECC", function () { return agent.ZENQ_SetKeyAlgorithm("ECC"); }, 0xA0072401,
     "\u65e0\u6548\u7684\u5bc6\u94a5\u7b97\u6cd5"],  // 无效的密钥算法 (Invalid key algorithm.)
    ["SetCSPInfo 333", function () { return agent.ZENQ_SetCSPInfo(333, enhanced); }, 0xA0072400,
     "\u5bc6\u94a5\u957f\u5ea6\u4e0d\u652f\u6301"]   // 密钥长度不支持 (Key length is not supported.)
  ];
  for (var i = 0; i < rows.length; i++) {
    var outcome = attempt(rows[i][1]);
    checkEqual(rows[i][0] + " number", hex(outcome.number), hex(rows[i][2]));
    checkEqual(rows[i][0] + " description", outcome.description, rows[i][3] + "\n(" + hex(rows[i][2]) + ")");
    checkEqual(rows[i][0] + " GetLastErrorDesc", agent.GetLastErrorDesc(), outcome.description);
  }
}

finish(run);
