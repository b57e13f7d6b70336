<?php
// Form-upload peer for the whole-call tests. Reports what PHP's own form
// parser made of the request, then echoes the stored bytes of the file:
//
//   files: <number of uploaded parts>
//   fields: <number of plain form fields>
//   field: <field name>
//   name: <file name as parsed>
//   size: <bytes>
//   error: <upload error code>
//   sha256: <hex digest>
//   <empty line>
//   <the file's bytes>
header('Content-Type: application/octet-stream');
$out = 'files: ' . count($_FILES) . "\n" . 'fields: ' . count($_POST) . "\n";
$bytes = '';
foreach ($_FILES as $field => $f) {
    $data = ($f['error'] === UPLOAD_ERR_OK) ? file_get_contents($f['tmp_name']) : '';
    $out .= 'field: ' . $field . "\n";
    $out .= 'name: ' . $f['name'] . "\n";
    $out .= 'size: ' . $f['size'] . "\n";
    $out .= 'error: ' . $f['error'] . "\n";
    $out .= 'sha256: ' . hash('sha256', $data) . "\n";
    if ($bytes === '') {
        $bytes = $data;
    }
}
echo $out, "\n", $bytes;
