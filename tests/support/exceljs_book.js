// A workbook as ExcelJS writes it (argv[2]), or, with "read", what ExcelJS
// finds in a saved one (argv[3]) printed as JSON: notes, values, names.
const ExcelJS = require("exceljs");

async function write(path) {
  const wb = new ExcelJS.Workbook();
  wb.creator = "Ann Analyst";
  wb.title = "From ExcelJS";
  const ws = wb.addWorksheet("Data");
  ws.addRow(["item", "amount", "double"]);
  for (let r = 1; r <= 5; r++) {
    ws.addRow([`item ${r}`, r * 10, { formula: `B${r + 1}*2`, result: r * 20 }]);
  }
  ws.getCell("B2").note = "checked by Bob";
  ws.getCell("A9").value = { richText: [{ text: "plain " }, { font: { bold: true }, text: "bold" }] };
  ws.getCell("A10").value = { text: "site", hyperlink: "https://example.com/" };
  ws.addTable({ name: "Pairs", ref: "E1", headerRow: true,
                columns: [{ name: "k" }, { name: "v" }], rows: [[1, 2], [3, 4]] });
  ws.dataValidations.add("B2:B6", { type: "whole", operator: "greaterThan", formulae: [0] });
  wb.definedNames.add("Data!$B$2:$B$6", "Amounts");
  const img = wb.addImage({ base64: process.argv[4], extension: "png" });
  ws.addImage(img, "H2:J6");
  const other = wb.addWorksheet("Other");
  other.getCell("A1").value = { formula: "SUM(Data!B2:B6)", result: 150 };
  await wb.xlsx.writeFile(path);
}

async function read(path) {
  const wb = new ExcelJS.Workbook();
  await wb.xlsx.readFile(path);
  const out = { sheets: [], notes: {}, values: {} };
  wb.eachSheet((ws) => {
    out.sheets.push(ws.name);
    ws.eachRow((row) => row.eachCell((cell) => {
      const key = `${ws.name}!${cell.address}`;
      if (cell.note) out.notes[key] = typeof cell.note === "string" ? cell.note
        : cell.note.texts.map((t) => t.text).join("");
      const v = cell.value;
      out.values[key] = v && typeof v === "object" && "result" in v ? v.result
        : v && typeof v === "object" && "richText" in v ? v.richText.map((t) => t.text).join("")
        : v && typeof v === "object" && "text" in v ? v.text : v;
    }));
  });
  out.images = wb.model.media.length;
  return out;
}

(async () => {
  if (process.argv[2] === "read") {
    console.log(JSON.stringify(await read(process.argv[3])));
  } else {
    await write(process.argv[2]);
  }
})().catch((e) => { console.error(e); process.exit(1); });
