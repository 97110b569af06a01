# Entry points; the work is done by the scripts in scripts/.
.PHONY: demo test bench build format clean

demo:
	scripts/demo.sh

test:
	scripts/test.sh

bench:
	scripts/bench.sh

build:
	scripts/deps.sh
	cmake -S . -B build -G Ninja >/dev/null
	cmake --build build -j

format:
	git ls-files '*.cpp' '*.hpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-*
