#!/usr/bin/env bash
# Builds the release package, signs it, and prints the appcast <item> that offers it.
#
#   scripts/release.sh --key KEY.pem --base-url URL [--feed-url URL] [--notes FILE] [--package FILE.deb]
#
#   --key       ed25519 private key in PEM (make one once, keep it secret:
#               openssl genpkey -algorithm ed25519 -out orvo-release.pem)
#   --base-url  where the package will be served; the enclosure URL is BASE-URL/FILE.deb
#   --feed-url  appcast address to build into the program (ORVO_UPDATE_FEED_URL)
#   --notes     release notes (HTML or plain text) for the item's description
#   --package   sign this existing package instead of building one
#
# The build (in build-release/) trusts the public key of --key, so the released program
# accepts the next releases signed with the same key. The <item> goes to standard output;
# progress and the public key go to standard error.
set -euo pipefail
here=$(pwd)
cd "$(dirname "$0")/.."
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$here/$1" ;; esac; }

key="" base_url="" feed_url="" notes="" package=""
while [ $# -gt 0 ]; do
  case "$1" in
    --key) key=$(absolute "$2"); shift 2 ;;
    --base-url) base_url=${2%/}; shift 2 ;;
    --feed-url) feed_url=$2; shift 2 ;;
    --notes) notes=$(absolute "$2"); shift 2 ;;
    --package) package=$(absolute "$2"); shift 2 ;;
    *) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
done
[ -n "$key" ] && [ -n "$base_url" ] || { echo "release.sh: --key and --base-url are required" >&2; exit 2; }
# The program fetches feeds and packages over https only.
for url in "$base_url" ${feed_url:+"$feed_url"}; do
  case "$url" in https://*) ;; *) echo "release.sh: $url is no https address; updates are fetched over https only" >&2; exit 2 ;; esac
done
[ -r "$key" ] || { echo "release.sh: cannot read the key $key" >&2; exit 1; }
[ "$(openssl pkey -in "$key" -noout -text 2>/dev/null | head -n1)" = "ED25519 Private-Key:" ] ||
  { echo "release.sh: $key is not an ed25519 private key in PEM" >&2; exit 1; }

# The raw 32-byte public key is the tail of its DER encoding.
public_key=$(openssl pkey -in "$key" -pubout -outform DER | tail -c 32 | base64 -w0)

if [ -z "$package" ]; then
  echo "Building the release package…" >&2
  cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_BENCH=OFF \
    -DORVO_UPDATE_PUBLIC_KEY="$public_key" -DORVO_UPDATE_FEED_URL="$feed_url" >&2
  cmake --build build-release --target orvo-host orvo-client >&2
  version=$(build-release/src/app/orvo-host --version | awk '{print $2}')
  (cd build-release && cpack -G DEB >&2)
  package="build-release/orvo-host_${version}_$(dpkg --print-architecture).deb"
fi
[ -f "$package" ] || { echo "release.sh: no package at $package" >&2; exit 1; }

version=$(dpkg-deb -f "$package" Version)
length=$(stat -c %s "$package")
signature=$(openssl pkeyutl -sign -rawin -inkey "$key" -in "$package" | base64 -w0)
name=$(basename "$package")
description="Orvo Host $version"
[ -z "$notes" ] || description=$(cat "$notes")
xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }

echo "Signed $package ($length bytes). Public key (ORVO_UPDATE_PUBLIC_KEY): $public_key" >&2
cat <<ITEM
<item>
  <title>Orvo Host $version</title>
  <description><![CDATA[${description//]]>/]]]]><![CDATA[>}]]></description>
  <pubDate>$(LC_ALL=C date -u -R)</pubDate>
  <sparkle:version>$version</sparkle:version>
  <sparkle:shortVersionString>$version</sparkle:shortVersionString>
  <enclosure url="$(printf '%s/%s' "$base_url" "$name" | xml_escape)" length="$length" type="application/vnd.debian.binary-package" sparkle:edSignature="$signature"/>
</item>
ITEM
