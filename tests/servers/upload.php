<?php
// Form-upload peer for the whole-call tests. Reports what PHP's own form
// parser made of the request, then echoes the stored bytes of the file:
//
//   host: <the Host line's value>
//   type: <the Content-Type line's value, its boundary written as B>
//   files: <number of uploaded parts>
//   fields: <number of plain form fields>
//   field: <field name>
//   name: <file name as parsed>
//   path: <the filename parameter as sent, before PHP takes its base name>
//   size: <bytes>
//   error: <upload error code>
//   sha256: <hex digest>
//   <empty line>
//   <the file's bytes>
header('Content-Type: application/octet-stream');
$type = isset($_SERVER['CONTENT_TYPE']) ? $_SERVER['CONTENT_TYPE'] : '';
$out = 'host: ' . (isset($_SERVER['HTTP_HOST']) ? $_SERVER['HTTP_HOST'] : '') . "\n";
$out .= 'type: ' . preg_replace('/boundary=[0-9A-Za-z]+/', 'boundary=B', $type) . "\n";
$out .= 'files: ' . count($_FILES) . "\n" . 'fields: ' . count($_POST) . "\n";
$bytes = '';
foreach ($_FILES as $field => $f) {
    $data = ($f['error'] === UPLOAD_ERR_OK) ? file_get_contents($f['tmp_name']) : '';
    $out .= 'field: ' . $field . "\n";
    $out .= 'name: ' . $f['name'] . "\n";
    $out .= 'path: ' . (isset($f['full_path']) ? $f['full_path'] : '') . "\n";
    $out .= 'size: ' . $f['size'] . "\n";
    $out .= 'error: ' . $f['error'] . "\n";
    $out .= 'sha256: ' . hash('sha256', $data) . "\n";
    if ($bytes === '') {
        $bytes = $data;
    }
}
echo $out, "\n", $bytes;
