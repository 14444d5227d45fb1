// SPDX-License-Identifier: GPL-2.0
/*
 * zorfldrv - transfer buffer for the BIOS flash handler.
 *
 * The BIOS flash handler exchanges data through a buffer that it is given
 * by physical address. This module hands such a buffer to a user-space
 * caller: a character device whose ioctl DRV_IOC_ALLOC allocates a zeroed,
 * physically contiguous buffer below 4 GB and reports its physical address,
 * whose mmap maps that buffer into the caller, and whose ioctl DRV_IOC_FREE
 * releases it again.
 *
 * Request record: six little-endian 32-bit words. Word 0 is the size (read
 * by both requests), word 2 receives the physical address (written by
 * ALLOC and nothing else is ever written). The request numbers carry no
 * direction or size bits; callers use them exactly as they are.
 *
 * Each open file holds at most one buffer. A buffer that is still mapped
 * cannot be freed (EBUSY); a buffer still held when the last reference to
 * the file goes away (close, plus every mapping, since a mapping keeps the
 * file alive) is released then.
 */

#include <linux/capability.h>
#include <linux/compat.h>
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/gfp.h>
#include <linux/io.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/slab.h>
#include <linux/types.h>
#include <linux/uaccess.h>

#define ZF_NAME		"zorfldrv"
#define ZF_IOC_ALLOC	0x4160
#define ZF_IOC_FREE	0x4161
#define ZF_MAX_SIZE	(64u * 1024u)

/* The record as the caller lays it out: 24 bytes, word 2 at offset 8. */
struct zf_request {
	u32 size;
	u32 unused1;
	u32 phys;
	u32 unused3[3];
};

/* State of one open file. */
struct zf_file {
	struct mutex lock;
	unsigned long vaddr;	/* kernel address of the buffer, 0 if none */
	unsigned int order;	/* page order of the allocation */
	u32 size;		/* size the caller asked for */
	u32 phys;		/* physical address reported in word 2 */
	unsigned int maps;	/* live VMAs that map the buffer */
	unsigned long gen;	/* counts allocations, to recognise our own */
};

static int zf_major;

static void zf_release_buffer(struct zf_file *zf)
{
	free_pages(zf->vaddr, zf->order);
	zf->vaddr = 0;
	zf->order = 0;
	zf->size = 0;
	zf->phys = 0;
}

static int zf_open(struct inode *inode, struct file *file)
{
	struct zf_file *zf;

	if (iminor(inode) != 0)
		return -ENXIO;
	zf = kzalloc(sizeof(*zf), GFP_KERNEL);
	if (!zf)
		return -ENOMEM;
	mutex_init(&zf->lock);
	file->private_data = zf;
	return 0;
}

/*
 * Runs when the last reference to the file is dropped. Every VMA holds a
 * reference, so no mapping of the buffer can exist any more.
 */
static int zf_release(struct inode *inode, struct file *file)
{
	struct zf_file *zf = file->private_data;

	if (zf->vaddr)
		zf_release_buffer(zf);
	mutex_destroy(&zf->lock);
	kfree(zf);
	return 0;
}

/*
 * Lock order: mmap_lock, then zf->lock (mmap and the VMA callbacks run with
 * mmap_lock held). The ioctl path therefore never touches user memory while
 * it holds zf->lock, since a fault there would take mmap_lock.
 */
static long zf_alloc(struct zf_file *zf, struct zf_request __user *ureq)
{
	u32 size;
	unsigned long vaddr, gen;
	unsigned int order;
	phys_addr_t phys;

	if (!capable(CAP_SYS_RAWIO))
		return -EPERM;
	if (get_user(size, &ureq->size))
		return -EFAULT;
	if (size == 0 || size > ZF_MAX_SIZE)
		return -EINVAL;
	order = get_order(size);

	mutex_lock(&zf->lock);
	if (zf->vaddr) {
		mutex_unlock(&zf->lock);
		return -EBUSY;
	}
	vaddr = __get_free_pages(GFP_KERNEL | GFP_DMA32 | __GFP_ZERO, order);
	if (!vaddr) {
		mutex_unlock(&zf->lock);
		return -ENOMEM;
	}
	phys = virt_to_phys((void *)vaddr);
	/* The handler takes a 32-bit address, and 0 means "no buffer". */
	if (phys == 0 || phys + (PAGE_SIZE << order) - 1 > U32_MAX) {
		free_pages(vaddr, order);
		mutex_unlock(&zf->lock);
		return -ENOMEM;
	}
	zf->vaddr = vaddr;
	zf->order = order;
	zf->size = size;
	zf->phys = (u32)phys;
	gen = ++zf->gen;
	mutex_unlock(&zf->lock);

	/* Word 2 only: the rest of the record belongs to the caller. */
	if (put_user((u32)phys, &ureq->phys)) {
		/*
		 * Take the buffer back unless another thread of the caller has
		 * mapped or replaced it meanwhile; then it goes with the file.
		 */
		mutex_lock(&zf->lock);
		if (zf->vaddr && zf->gen == gen && zf->maps == 0)
			zf_release_buffer(zf);
		mutex_unlock(&zf->lock);
		return -EFAULT;
	}
	return 0;
}

static long zf_free(struct zf_file *zf, struct zf_request __user *ureq)
{
	u32 size;
	long ret = 0;

	/* As for alloc and mmap: a descriptor inherited by a process without
	 * the capability must not take the buffer from under its owner. */
	if (!capable(CAP_SYS_RAWIO))
		return -EPERM;
	if (get_user(size, &ureq->size))
		return -EFAULT;

	mutex_lock(&zf->lock);
	if (!zf->vaddr)
		ret = -ENXIO;
	else if (size != zf->size)
		ret = -EINVAL;
	else if (zf->maps)
		ret = -EBUSY;	/* freeing now would leave the mapping dangling */
	else
		zf_release_buffer(zf);
	mutex_unlock(&zf->lock);
	return ret;
}

static long zf_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	struct zf_file *zf = file->private_data;
	struct zf_request __user *ureq = (struct zf_request __user *)arg;

	switch (cmd) {
	case ZF_IOC_ALLOC:
		return zf_alloc(zf, ureq);
	case ZF_IOC_FREE:
		return zf_free(zf, ureq);
	default:
		return -ENOTTY;
	}
}

/* Counts the VMAs that map the buffer: fork and splits add, unmap drops. */
static void zf_vm_open(struct vm_area_struct *vma)
{
	struct zf_file *zf = vma->vm_private_data;

	mutex_lock(&zf->lock);
	zf->maps++;
	mutex_unlock(&zf->lock);
}

static void zf_vm_close(struct vm_area_struct *vma)
{
	struct zf_file *zf = vma->vm_private_data;

	mutex_lock(&zf->lock);
	zf->maps--;
	mutex_unlock(&zf->lock);
}

static const struct vm_operations_struct zf_vm_ops = {
	.open = zf_vm_open,
	.close = zf_vm_close,
};

static int zf_mmap(struct file *file, struct vm_area_struct *vma)
{
	struct zf_file *zf = file->private_data;
	unsigned long len = vma->vm_end - vma->vm_start;
	int ret;

	if (!capable(CAP_SYS_RAWIO))
		return -EPERM;
	/*
	 * A private mapping would copy on write and never reach the buffer.
	 * VM_MAYSHARE, not VM_SHARED: a read-only shared map has only that.
	 */
	if (!(vma->vm_flags & VM_MAYSHARE))
		return -EINVAL;
	if (vma->vm_pgoff != 0)
		return -EINVAL;

	mutex_lock(&zf->lock);
	if (!zf->vaddr) {
		ret = -ENXIO;
	} else if (len > (PAGE_SIZE << zf->order)) {
		ret = -EINVAL;
	} else {
		ret = remap_pfn_range(vma, vma->vm_start,
				      virt_to_phys((void *)zf->vaddr) >> PAGE_SHIFT,
				      len, vma->vm_page_prot);
		if (ret == 0) {
			vma->vm_ops = &zf_vm_ops;
			vma->vm_private_data = zf;
			zf->maps++;
		}
	}
	mutex_unlock(&zf->lock);
	return ret;
}

static const struct file_operations zf_fops = {
	.owner = THIS_MODULE,
	.open = zf_open,
	.release = zf_release,
	.unlocked_ioctl = zf_ioctl,
	.compat_ioctl = compat_ptr_ioctl,
	.mmap = zf_mmap,
};

static int __init zf_init(void)
{
	/* Dynamic major, minor 0 only; the caller creates its own node. */
	zf_major = __register_chrdev(0, 0, 1, ZF_NAME, &zf_fops);
	if (zf_major < 0)
		return zf_major;
	return 0;
}

static void __exit zf_exit(void)
{
	__unregister_chrdev(zf_major, 0, 1, ZF_NAME);
}

module_init(zf_init);
module_exit(zf_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Physically contiguous transfer buffer for the BIOS flash handler");
MODULE_VERSION("1.33");
