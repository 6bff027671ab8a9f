# shot_loop DIR OUT: answers tessel-drive's screenshot requests. For each
# DIR/want-NAME it saves the whole screen to OUT/NAME.png (import, the X
# display in DISPLAY) and creates DIR/done-NAME. Runs until killed.
shot_loop() {
  local dir="$1" out="$2" want name
  while true; do
    for want in "$dir"/want-*; do
      [ -e "$want" ] || continue
      name="${want##*/want-}"
      sleep 0.3   # let the window finish painting
      import -window root "$out/$name.png" 2>/dev/null
      rm -f "$want"
      : > "$dir/done-$name"
    done
    sleep 0.1
  done
}
