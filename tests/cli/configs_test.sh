#!/usr/bin/env bash
# Several chunk sizes and compressors from one read: each size's final
# dedupe and zeros equal a run with that -c alone, the first configuration
# is the run's own (rows and summary), the table is in the summary, the
# JSON and the CSV alike; exports carry every configuration, merge to the
# table of one run over all the data, and lists that differ are refused;
# lists that make no sense are usage errors.
source "$(dirname "$0")/lib.sh" "$@"

# Two "hosts" of 4 KiB blocks drawn from shared pools (so duplicates at 4K
# rarely line up at 8K or 16K), zeros, text and noise.
python3 - "$TMP" <<'EOF'
import random, sys
r = random.Random(7)
pool = [r.randbytes(4096) for _ in range(300)]
text = [bytes(r.choice(b'abcdefgh \n') for _ in range(4096)) for _ in range(100)]
for host, n in (("h1", 1500), ("h2", 700)):
    with open(f"{sys.argv[1]}/{host}.data", "wb") as f:
        for _ in range(n):
            k = r.random()
            f.write(b"\0" * 4096 if k < 0.1 else r.choice(pool) if k < 0.5
                    else r.choice(text) if k < 0.8 else r.randbytes(4096))
        f.write(b"tail")
EOF
mkdir "$TMP/h1" "$TMP/h2"
mv "$TMP/h1.data" "$TMP/h1/data"
mv "$TMP/h2.data" "$TMP/h2/data"

SIZES=8K,4K,16K
CODECS=lz4,zstd:1,deflate:6
# A table line (CSV) as the fields named: chunk_size=1 compressor=2
# compress_share=3 dedupe=4..6 compress=7..9 zeros=10 ratio=11..13
# physical=14..16 final=17.
col() { awk -F, -v s="$2" -v c="$3" -v f="$4" \
  '$1 == s && $2 == c { print $f }' "$1"; }

run_pelko -p "$TMP/h1" -p "$TMP/h2" --chunk-sizes $SIZES --compressors $CODECS \
  -t 2 -o "$TMP/all" --json "$TMP/all.json" --csv "$TMP/all.csv" \
  --table-csv "$TMP/all.table"
expect_status "several configurations" 0
expect_eq "several configurations: no error output" "" "$(cat "$TMP/err")"
expect_eq "table: header and one line per configuration" 10 \
  "$(wc -l <"$TMP/all.table")"
expect_contains "echo of the sizes" "chunk_sizes:     8192, 4096, 16.000 KiB" \
  "$(cat "$TMP/all")"
expect_contains "table in the summary" "CONFIGURATIONS: " "$(cat "$TMP/all")"
expect_eq "summary: a line per configuration" 9 \
  "$(grep -cE '^(4|8|16) KiB (lz4|zstd:1|deflate:6)' "$TMP/all")"
expect_eq "JSON: an object per configuration" 9 \
  "$(grep -c '"type":"configuration"' "$TMP/all.json")"
expect_contains "JSON: the lists among the parameters" \
  '"chunk_sizes":[8192,4096,16384]' "$(grep '"type":"run"' "$TMP/all.json")"
expect_eq "JSON: rows of the other sizes" 2 \
  "$(grep '"type":"size_row"' "$TMP/all.json" | grep '"final":true' | wc -l)"

# Each size alone, with each compressor measured in full: the same dedupe
# and zeros exactly, and the first configuration's compression too.
for size in 8K 4K 16K; do
  bytes=$(($(numfmt --from=iec $size)))
  run_pelko -p "$TMP/h1" -p "$TMP/h2" -c $size -t 2 -o "$TMP/one_$size" \
    --table-csv "$TMP/one_$size.table"
  expect_status "-c $size" 0
  for f in 4 5 6 10; do
    expect_eq "$size: field $f = the run with -c $size's" \
      "$(col "$TMP/one_$size.table" $bytes lz4 $f)" \
      "$(col "$TMP/all.table" $bytes zstd:1 $f)"
  done
  for codec in zstd:1 deflate:6; do
    run_pelko -p "$TMP/h1" -p "$TMP/h2" -c $size --compressors $codec -t 2 \
      --table-csv "$TMP/one.table"
    # The sampled compression holds the ratio measured in full.
    low=$(col "$TMP/all.table" $bytes $codec 8)
    high=$(col "$TMP/all.table" $bytes $codec 9)
    full=$(col "$TMP/one.table" $bytes $codec 7)
    awk -v l="$low" -v h="$high" -v v="$full" \
      'BEGIN { exit !(l - 1e-6 <= v && v <= h + 1e-6) }' \
      || _fail "$size $codec: $full measured in full outside [$low, $high]"
  done
done
expect_eq "first configuration = the -c 8K run's" \
  "$(col "$TMP/one_8K.table" 8192 lz4 7),$(col "$TMP/one_8K.table" 8192 lz4 14)" \
  "$(col "$TMP/all.table" 8192 lz4 7),$(col "$TMP/all.table" 8192 lz4 14)"
# The rows and the summary before the table are the first configuration's.
figures() { final_row "$1" | sed -E 's/^.* GiB\t\t//'; }
expect_eq "final row = the -c 8K run's" "$(figures "$TMP/one_8K")" \
  "$(figures "$TMP/all")"
expect_eq "summary = the -c 8K run's" \
  "$(sed -n '/^SUMMARY/,/^reduction ratio/p' "$TMP/one_8K")" \
  "$(sed -n '/^SUMMARY/,/^reduction ratio/p' "$TMP/all")"

# A fixed share: sampled configurations say so and have a range; with
# --sample-first the first one too.
run_pelko -p "$TMP/h1" --chunk-sizes 4K,8K --compressors lz4,zstd:1 \
  --compress-share 30 --sample-first -t 2 --table-csv "$TMP/share.table"
expect_status "--compress-share 30 --sample-first" 0
expect_eq "every configuration measured on 30 %" "0.300000 0.300000 0.300000 0.300000" \
  "$(tail -n +2 "$TMP/share.table" | cut -d, -f3 | xargs)"
expect_contains "first configuration sampled: a range" "4 KiB lz4 (30%)" \
  "$(cat "$TMP/out")"
# Each range holds the ratio a run measuring every chunk finds.
for size in 4K 8K; do
  bytes=$(($(numfmt --from=iec $size)))
  for codec in lz4 zstd:1; do
    run_pelko -p "$TMP/h1" -c $size --compressors $codec -t 2 \
      --table-csv "$TMP/one.table"
    low=$(col "$TMP/share.table" $bytes $codec 8)
    high=$(col "$TMP/share.table" $bytes $codec 9)
    full=$(col "$TMP/one.table" $bytes $codec 7)
    echo "$full" >"$TMP/full_${bytes}_$codec"
    awk -v l="$low" -v h="$high" -v v="$full" \
      'BEGIN { exit !(l < h && l <= v && v <= h) }' \
      || _fail "30 %: $size $codec: $full measured in full outside [$low, $high]"
  done
done

# The same share leaning on the first configuration's sizes (without
# --sample-first): every range still holds the ratio measured in full
# (by the runs above), and is far narrower than the one measured without
# them.
run_pelko -p "$TMP/h1" --chunk-sizes 4K,8K --compressors lz4,zstd:1 \
  --compress-share 30 -t 2 --table-csv "$TMP/aux.table"
expect_status "--compress-share 30" 0
for x in 4096:zstd:1 8192:lz4 8192:zstd:1; do
  bytes=${x%%:*} codec=${x#*:}
  awk -v l="$(col "$TMP/aux.table" $bytes $codec 8)" \
    -v h="$(col "$TMP/aux.table" $bytes $codec 9)" \
    -v pl="$(col "$TMP/share.table" $bytes $codec 8)" \
    -v ph="$(col "$TMP/share.table" $bytes $codec 9)" \
    -v v="$(cat "$TMP/full_${bytes}_$codec")" \
    'BEGIN { exit !(l <= v && v <= h && h - l < 0.6 * (ph - pl)) }' \
    || _fail "30 % beside the first: $(grep "^$bytes,$codec," "$TMP/aux.table")"
done

# The table on standard output: the report goes to standard error.
run_pelko -p "$TMP/h2" --chunk-sizes 4K,8K -t 2 --table-csv -
expect_status "--table-csv -" 0
expect_eq "--table-csv -: the table alone on standard output" 3 \
  "$(grep -c '' "$TMP/out")"
expect_contains "--table-csv -: the report on standard error" "CONFIGURATIONS: " \
  "$(cat "$TMP/err")"

# Exports of each host merge to the table of the run over both.
for h in h1 h2; do
  run_pelko -p "$TMP/$h" --chunk-sizes $SIZES --compressors $CODECS -t 2 \
    --export "$TMP/$h.pex"
  expect_status "export $h" 0
done
run_pelko --merge "$TMP/h1.pex" "$TMP/h2.pex" --table-csv "$TMP/merged.table"
expect_status "merge of several configurations" 0
for f in 1 2 4 5 6 10; do
  expect_eq "merged table field $f = one run's" \
    "$(cut -d, -f$f "$TMP/all.table")" "$(cut -d, -f$f "$TMP/merged.table")"
done

# A compressor beside another level of itself is measured among that
# one's chunks, leaning on their sizes, in a run and in a merge of its
# exports: the merged ranges hold the ratio measured in full.
for h in h1 h2; do
  run_pelko -p "$TMP/$h" --chunk-sizes 4K,8K --compressors lz4,zstd:1,zstd:3 \
    --compress-share 30 -t 2 --export "$TMP/chain_$h.pex"
  expect_status "export $h, zstd:3 beside zstd:1" 0
done
run_pelko --merge "$TMP/chain_h1.pex" "$TMP/chain_h2.pex" \
  --table-csv "$TMP/chain.table"
expect_status "merge, zstd:3 beside zstd:1" 0
for size in 4K 8K; do
  bytes=$(($(numfmt --from=iec $size)))
  run_pelko -p "$TMP/h1" -p "$TMP/h2" -c $size --compressors zstd:3 -t 2 \
    --table-csv "$TMP/one.table"
  awk -v l="$(col "$TMP/chain.table" $bytes zstd:3 8)" \
    -v h="$(col "$TMP/chain.table" $bytes zstd:3 9)" \
    -v v="$(col "$TMP/one.table" $bytes zstd:3 7)" \
    'BEGIN { exit !(l < h && l <= v && v <= h) }' \
    || _fail "merged $size zstd:3: $(grep "^$bytes,zstd:3," "$TMP/chain.table")"
done

# Exports whose configurations differ are refused, naming both.
run_pelko -p "$TMP/h2" --chunk-sizes 8K,4K -t 2 --export "$TMP/sizes.pex"
run_pelko -p "$TMP/h2" --chunk-sizes $SIZES --compressors lz4,zstd:3 -t 2 \
  --export "$TMP/codecs.pex"
run_pelko -p "$TMP/h2" -c 8K -t 2 --export "$TMP/one.pex"
for x in sizes:"chunk sizes 8 KiB,4 KiB differ from 8 KiB,4 KiB,16 KiB in $TMP/h1.pex" \
  codecs:"compressors lz4,zstd:3 differ from lz4,zstd:1,deflate:6 in $TMP/h1.pex" \
  one:"holds one configuration, $TMP/h1.pex several"; do
  run_pelko --merge "$TMP/h1.pex" "$TMP/${x%%:*}.pex"
  expect_status "merge refused: ${x%%:*}" 1
  expect_eq "merge refused: ${x%%:*}" "ERROR: $TMP/${x%%:*}.pex: ${x#*:}" \
    "$(cat "$TMP/err")"
done

# Lists that make no sense.
usage() {
  run_pelko -p "$TMP/h1" "$@"
  expect_status "usage error: $*" 1
  expect_eq "usage error: $*: nothing on standard output" "" "$(cat "$TMP/out")"
  head -n 1 "$TMP/err"
}
expect_contains "not a power of two" "--chunk-sizes 4K,3K: 3K is not a power of two" \
  "$(usage --chunk-sizes 4K,3K)"
expect_contains "a size twice" "4K is given twice" "$(usage --chunk-sizes 4K,4K)"
expect_contains "with -c" "-c 4K: give the chunk sizes with --chunk-sizes alone" \
  "$(usage -c 4K --chunk-sizes 4K,8K)"
expect_contains "larger than -b" "16 KiB is larger than the bucket size 8 KiB" \
  "$(usage --chunk-sizes 4K,16K -b 8K)"
expect_contains "unknown compressor" "lz5: unknown compressor" \
  "$(usage --compressors lz4,lz5)"
expect_contains "zstd level" "zstd:40: the zstd levels are" \
  "$(usage --compressors zstd:40)"
expect_contains "deflate level" "deflate:0" "$(usage --compressors deflate:0)"
expect_contains "no compression" "compression is not estimated" \
  "$(usage -e dedupe --compressors zstd:1)"
expect_contains "share" "the share must be above 0" \
  "$(usage --compress-share 0)"
run_pelko --merge "$TMP/h1.pex" --chunk-sizes 4K,8K
expect_status "--chunk-sizes with --merge" 1

finish
