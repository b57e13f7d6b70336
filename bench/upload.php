<?php
// Form-upload target of bench/run.sh: PHP's own parser stores the part;
// the reply says only what arrived, so that the reply costs nothing.
header('Content-Type: text/plain');
$files = 0;
$size = -1;
foreach ($_FILES as $f) {
    $files++;
    $size = $f['error'] === UPLOAD_ERR_OK ? $f['size'] : -1;
}
echo "files: $files\nsize: $size\n";
