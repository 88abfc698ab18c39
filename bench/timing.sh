# Sourced by the benchmark scripts; needs $repeat and $work.

# Runs a command `repeat` times; prints the fastest run's wall and CPU seconds.
timed() {
    best=""
    i=0
    while [ $i -lt "$repeat" ]; do
        /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null
        t=$(awk '{printf "%s %.2f", $1, $2 + $3}' "$work/time")
        if [ -z "$best" ] || awk -v a="$t" -v b="$best" 'BEGIN{split(a,x," ");split(b,y," ");exit !(x[1]<y[1])}'; then
            best=$t
        fi
        i=$((i + 1))
    done
    echo "$best"
}
