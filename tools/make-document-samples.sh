#!/usr/bin/env bash
# Makes the office documents, PDF and ZIP archives of tests/data/documents:
# LibreOffice (headless) converts three flat-XML sources that carry a title
# and an author in their metadata; zip packs two small text files, once into
# a file and once as a stream (data descriptors after each member).
#   tools/make-document-samples.sh [OUTPUT_DIR]
# Needs: libreoffice-writer-nogui, libreoffice-calc-nogui,
# libreoffice-impress-nogui, zip. Only to make the samples again; the build
# and the tests never run it.
set -euo pipefail
OUT=${1:-"$(cd "$(dirname "$0")/.." && pwd)/tests/data/documents"}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$OUT"

NS='xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
  xmlns:meta="urn:oasis:names:tc:opendocument:xmlns:meta:1.0"
  xmlns:dc="http://purl.org/dc/elements/1.1/"
  xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
  xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
  xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
  xmlns:svg="urn:oasis:names:w3c:dt:1.0:svg-compatible:1.0"'

meta() {  # meta TITLE AUTHOR
  cat <<XML
 <office:meta>
  <dc:title>$1</dc:title>
  <meta:initial-creator>$2</meta:initial-creator>
  <dc:creator>$2</dc:creator>
 </office:meta>
XML
}

# Writer: a letter of a few paragraphs.
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo "<office:document $NS office:version=\"1.3\" office:mimetype=\"application/vnd.oasis.opendocument.text\">"
  meta "Quarterly Report – Café" "Ada Lovelace"
  echo ' <office:body><office:text>'
  for i in 1 2 3 4 5 6; do
    echo "  <text:p>Paragraph $i of the quarterly report: sales, costs and the outlook for the next quarter.</text:p>"
  done
  echo ' </office:text></office:body></office:document>'
} > "$WORK/report.fodt"

# Calc: a small table.
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo "<office:document $NS office:version=\"1.3\" office:mimetype=\"application/vnd.oasis.opendocument.spreadsheet\">"
  meta "Household Budget 2024" "Charles Babbage"
  echo ' <office:body><office:spreadsheet><table:table table:name="Budget">'
  for m in January February March April; do
    echo "  <table:table-row><table:table-cell office:value-type=\"string\"><text:p>$m</text:p></table:table-cell><table:table-cell office:value-type=\"float\" office:value=\"${#m}00\"><text:p>${#m}00</text:p></table:table-cell></table:table-row>"
  done
  echo ' </table:table></office:spreadsheet></office:body></office:document>'
} > "$WORK/budget.fods"

# Impress: two slides with a text box each.
{
  echo '<?xml version="1.0" encoding="UTF-8"?>'
  echo "<office:document $NS office:version=\"1.3\" office:mimetype=\"application/vnd.oasis.opendocument.presentation\">"
  meta "Launch Plan" "Grace Hopper"
  echo ' <office:body><office:presentation>'
  for s in 1 2; do
    echo "  <draw:page draw:name=\"Slide$s\"><draw:frame svg:x=\"2cm\" svg:y=\"2cm\" svg:width=\"20cm\" svg:height=\"3cm\"><draw:text-box><text:p>Slide $s of the launch plan</text:p></draw:text-box></draw:frame></draw:page>"
  done
  echo ' </office:presentation></office:body></office:document>'
} > "$WORK/slides.fodp"

# LibreOffice runs with a profile of its own in the work folder.
convert() {  # convert SOURCE FILTER
  soffice --headless --norestore -env:UserInstallation="file://$WORK/profile" \
    --convert-to "$2" --outdir "$WORK/out" "$1" >/dev/null
}
convert "$WORK/report.fodt" 'docx:MS Word 2007 XML'
convert "$WORK/report.fodt" 'doc:MS Word 97'
convert "$WORK/report.fodt" 'pdf:writer_pdf_Export'
convert "$WORK/budget.fods" 'xlsx:Calc MS Excel 2007 XML'
convert "$WORK/budget.fods" 'xls:MS Excel 97'
convert "$WORK/slides.fodp" 'pptx:Impress MS PowerPoint 2007 XML'
convert "$WORK/slides.fodp" 'ppt:MS PowerPoint 97'
cp "$WORK"/out/* "$OUT/"

# zip: two text members, written to a file (sizes in the local headers) and
# to a pipe (sizes in data descriptors).
mkdir -p "$WORK/z"
for i in 1 2; do
  for n in $(seq 200); do echo "line $n of member $i for the archive sample"; done > "$WORK/z/member$i.txt"
  touch -d '2024-01-02 03:04:05' "$WORK/z/member$i.txt"
done
rm -f "$OUT/archive.zip" "$OUT/archive-streamed.zip"
(cd "$WORK/z" && zip -X -q "$OUT/archive.zip" member1.txt member2.txt)
(cd "$WORK/z" && zip -X -q - member1.txt member2.txt | cat > "$OUT/archive-streamed.zip")
ls -l "$OUT"
