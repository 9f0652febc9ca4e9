# Builds a small firmware image with the birdfile tool and shows what it holds.
# Leaves it in $DEMO_BIRD_IMAGE for later steps.
echo
echo "== birdfile: building a firmware image from a manifest"
bird_demo_dir="$HOME/bird-demo"
mkdir -p "$bird_demo_dir"
head -c 2048 /dev/zero | tr '\0' '\132' >"$bird_demo_dir/app.bin"
cat >"$bird_demo_dir/torvik-1234.manifest" <<'MANIFEST'
# A generic image for a Torvik module: build 1234, version 2.11.1.
[info]
build = 1234
version = 2.11.1
serial = 00000000
model = Torvik

[loader]
address = 0x10000000
flags = 1
hex = 00 B5 01 4B 98 47 00 BD

[firmware]
address = 0x00000000
file = app.bin
size = 0x2000
vector-checksum = yes

[serial-offsets]
serial = 0x1000
descriptor = 0x1100
MANIFEST
sed 's/^/    /' "$bird_demo_dir/torvik-1234.manifest"
"$BUILD/tools/birdfile/birdfile" pack "$bird_demo_dir/torvik-1234.manifest" "$bird_demo_dir/1234.bird"
echo
echo "== birdfile info"
"$BUILD/tools/birdfile/birdfile" info "$bird_demo_dir/1234.bird"
echo
echo "== birdfile check: the image, then a copy with a damaged signature"
"$BUILD/tools/birdfile/birdfile" check "$bird_demo_dir/1234.bird"
{ printf 'BIRD'; tail -c +5 "$bird_demo_dir/1234.bird"; } >"$bird_demo_dir/damaged.bird"
"$BUILD/tools/birdfile/birdfile" check "$bird_demo_dir/damaged.bird" || echo "(exit status $?)"
export DEMO_BIRD_IMAGE="$bird_demo_dir/1234.bird"
